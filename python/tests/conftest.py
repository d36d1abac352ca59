import pathlib
import sys

import numpy as np
import pytest

# The stand-in embedding package, also when the suite is run without scripts/test's PYTHONPATH.
_STUBS = str(pathlib.Path(__file__).parent / "stubs")
if _STUBS not in sys.path:
    sys.path.insert(0, _STUBS)

import dodezero_vizu as dz
from support import make_client, make_index


@pytest.fixture(autouse=True)
def default_logger():
    """Every test leaves the process-wide logger as it found it: errors only, on the console."""
    yield
    dz.Logger.instance().configure("error")


@pytest.fixture(params=["memory", "postgres", "redis"])
def store_kind(request):
    return request.param


@pytest.fixture
def client(store_kind):
    return make_client(store_kind)


@pytest.fixture
def memory_client():
    return make_client("memory")


@pytest.fixture
def index(memory_client):
    """An untrained, empty in-memory index of dimension 4 with 2 lists."""
    return make_index(memory_client)


@pytest.fixture
def rng():
    return np.random.default_rng(7)
