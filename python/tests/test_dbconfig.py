"""DBConfig: location texts, optional texts and argument matching."""

import pytest

import dodezero_vizu as dz


@pytest.mark.parametrize("args, kwargs", [
    (("memory",), {}),
    (("redis",), {}),
    (("postgres", "t", "host=localhost"), {}),
    (("postgres",), {"table_name": "t", "connection_string": "host=localhost"}),
    ((), {"location": "memory"}),
    (("postgres",), {"table_name": ""}),
    (("redis", None, None), {}),
    ((b"memory",), {}),  # bytes are taken as their raw text
])
def test_accepted(args, kwargs):
    assert isinstance(dz.DBConfig(*args, **kwargs), dz.DBConfig)


@pytest.mark.parametrize("location", ["Memory", "none", "MEMORY", " memory", "memory ", "", "sqlite"])
def test_unknown_location_is_value_error(location):
    with pytest.raises(ValueError) as caught:
        dz.DBConfig(location)
    assert str(caught.value) == "Unknown DB location: " + location


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((1,), {}),
    (("memory",), {"table": "t"}),
    (("memory", 5), {}),
    (("memory", None, 5), {}),
])
def test_arguments_that_do_not_convert(args, kwargs):
    with pytest.raises(TypeError, match="incompatible constructor arguments"):
        dz.DBConfig(*args, **kwargs)
