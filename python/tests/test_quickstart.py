"""The README's main job, examples/quickstart.py, runs to the end with its recall intact."""

import os
import pathlib
import re
import subprocess
import sys

import dodezero_vizu as dz

QUICKSTART = pathlib.Path(__file__).resolve().parents[2] / "examples" / "quickstart.py"


def test_quickstart_runs_and_finds_the_exact_neighbours():
    module_dir = str(pathlib.Path(dz.__file__).parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [module_dir, os.environ.get("PYTHONPATH")])))
    done = subprocess.run([sys.executable, str(QUICKSTART)], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    recalls = [float(v) for v in re.findall(r"recall@10 (\d\.\d+)", done.stdout)]
    # Two exhaustive batches (exact), then four that probe the nearest lists.
    assert len(recalls) == 6, done.stdout
    assert recalls[:2] == [1.0, 1.0], done.stdout
    assert min(recalls) >= 0.95, done.stdout
    assert "is_trained() = True" in done.stdout
