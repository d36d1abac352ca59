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


# A connection string's password shows in no refusal, wherever the string was put.
CONNECTION = "host=db.example user=app password=dbconfigsecret"


@pytest.mark.parametrize("args, kwargs", [
    (("postgres", 5, CONNECTION), {}),
    ((), {"table_name": "t", "connection_string": CONNECTION}),
    (("postgres", "t", CONNECTION.encode(), 1), {}),
    (("postgres", "t"), {"connection_string": CONNECTION, "conn": 1}),
    (("postgres", "t", CONNECTION), {"connection_string": CONNECTION}),
    ((CONNECTION, "t"), {}),
    (("redis", "t", "host:h,port:1,db:0,password:dbconfigsecret", None), {}),
])
def test_refusals_never_show_the_password(args, kwargs):
    with pytest.raises((TypeError, ValueError)) as caught:
        dz.DBConfig(*args, **kwargs)
    assert "dbconfigsecret" not in str(caught.value)


def test_a_connection_string_as_location_is_refused_masked():
    with pytest.raises(ValueError) as caught:
        dz.DBConfig(CONNECTION)
    assert str(caught.value) == "Unknown DB location: host=db.example user=app password=****"


def test_help_shows_the_constructor_signature():
    assert dz.DBConfig.__init__.__doc__ == (
        "__init__(self: dodezero_vizu.DBConfig, location: str, table_name: Optional[str] = None, "
        "connection_string: Optional[str] = None) -> None\n")
