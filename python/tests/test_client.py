"""Client: construction, argument forms, the per-member error mapping, listing and loading."""

import traceback

import numpy as np
import pytest

import dodezero_vizu as dz
from support import KEY, make_client, make_index, run_tool, server_address, unique_name

MEMORY = dz.DBConfig("memory")


@pytest.mark.parametrize("threads, gpu", [(0, False), (4, True), (-3, False)])
def test_thread_count_and_gpu_flag_read_back(threads, gpu):
    client = dz.Client(MEMORY, MEMORY, MEMORY, threads, gpu)
    assert client.get_cpu_threads() == threads
    assert client.is_gpu_enabled() is gpu
    keywords = dz.Client(index_location=MEMORY, config_location=MEMORY, items_location=MEMORY)
    assert (keywords.get_cpu_threads(), keywords.is_gpu_enabled()) == (0, False)


@pytest.mark.parametrize("position, name", enumerate(["index_location", "config_location", "items_location"]))
def test_none_location_is_a_type_error_that_names_it(position, name):
    args = [MEMORY, MEMORY, MEMORY]
    args[position] = None
    with pytest.raises(TypeError) as caught:
        dz.Client(*args)
    assert str(caught.value) == f"Client(): {name} must be a DBConfig, not None."


@pytest.mark.parametrize("threads", [-1, -2**31, 1025, 80000, 2**31 - 1])
def test_thread_counts_out_of_bounds_are_refused_where_an_index_opens(threads):
    """A count the OpenMP runtime cannot run (it crashed or exited the interpreter) is a ValueError
    of each member that opens an index; the client keeps what it was given."""
    message = f"cpu_threads must be between 0 (the OpenMP default) and 1024, not {threads}."
    memory = dz.Client(MEMORY, MEMORY, MEMORY, threads)
    assert memory.get_cpu_threads() == threads
    serialized = make_index(make_client("memory")).train_and_serialize(np.random.rand(4, 4).astype(np.float32))
    for call in (lambda: make_index(memory), lambda: memory.load_serialized_index(serialized, KEY),
                 lambda: make_client("redis", cpu_threads=threads).load_index(unique_name(), KEY)):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == message


@pytest.mark.parametrize("kind", ["memory", "redis"])
def test_index_names_are_utf8(kind):
    """A name comes back as str (index_name(), list_indexes(), every message about the index):
    bytes that do not decode are refused at creation, bytes that do are the name they spell."""
    client = make_client(kind)
    for name in (b"\xff", b"ab\xffcd", bytearray(b"\xc3")):
        with pytest.raises(ValueError) as caught:
            make_index(client, name=name)
        assert str(caught.value) == "Index name is not valid UTF-8."
    spelled = unique_name("caf\u00e9")
    assert make_index(client, name=spelled.encode()).index_name() == spelled


def test_undecodable_bytes_in_a_message_are_replaced():
    """A message quoting bytes from outside keeps its text, the bytes that do not decode replaced."""
    with pytest.raises(ValueError) as caught:
        dz.DBConfig(b"mem\xffory")
    assert str(caught.value) == "Unknown DB location: mem\ufffdory"
    with pytest.raises(RuntimeError) as caught:
        make_client("redis").load_index(b"ab\xffcd", KEY)
    assert "ab\ufffdcd" in str(caught.value) and "does not exist" in str(caught.value)


@pytest.mark.parametrize("key", [KEY, list(KEY), tuple(KEY), bytes(31) + b"\x01", [np.uint8(9)] * 32])
def test_accepted_key_forms(memory_client, key):
    index = memory_client.create_index(unique_name(), key, dz.IndexIVFFlat(4, 2))
    assert index.index_config()["dimension"] == 4


@pytest.mark.parametrize("key", [list(range(1, 32)), list(range(1, 34)), [256] + [1] * 31, [-1] + [1] * 31,
                                 [1.0] * 32, "a" * 32, bytearray(KEY)[:31]])
def test_refused_key_forms(memory_client, key):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        memory_client.create_index("name", key, dz.IndexIVFFlat(4, 2))


@pytest.mark.parametrize("name, key, config, message", [
    ("x" * 256, KEY, dz.IndexIVFFlat(4, 2), "Index name cannot be longer than 255 characters."),
    ("", KEY, dz.IndexIVFFlat(4, 2), "Index name cannot be an empty string."),
    ("zero-key", bytes(32), dz.IndexIVFFlat(4, 2), "Index key cannot be an empty array."),
    ("no-lists", KEY, dz.IndexIVFFlat(4, 0), "n_lists cannot be 0."),
    ("no-dimension", KEY, dz.IndexIVFFlat(0, 2), "Vector dimension cannot be 0."),
    ("both-zero", KEY, dz.IndexIVFFlat(0, 0), "n_lists cannot be 0."),
    ("no-config", KEY, None, "index_config cannot be None"),
])
def test_create_index_refusals_are_value_errors(memory_client, name, key, config, message):
    with pytest.raises(ValueError) as caught:
        memory_client.create_index(name, key, config)
    assert str(caught.value) == message


def test_longest_name_and_optional_cache_size(memory_client):
    assert make_index(memory_client, name="x" * 255).index_name() == "x" * 255
    assert make_index(memory_client, max_cache_size=None).is_trained() is False
    assert make_index(memory_client, max_cache_size=16).is_trained() is False
    with pytest.raises(TypeError):
        make_index(memory_client, max_cache_size=-1)


def test_logger_argument(memory_client, capfd):
    config = dz.IndexIVFFlat(4, 2)
    with pytest.raises(ValueError, match="Unable to cast"):
        memory_client.create_index(unique_name(), KEY, config, logger="log")
    with pytest.raises(ValueError, match="Unable to cast"):
        memory_client.load_serialized_index(b"x", KEY, logger="log")
    with pytest.raises(RuntimeError, match="Unable to cast"):
        memory_client.load_index(unique_name(), KEY, logger="log")

    logger = dz.Logger.instance()
    logger.configure("info")
    memory_client.create_index(unique_name(), KEY, config, logger=logger)
    assert "[INFO] " in capfd.readouterr().out  # the caller's settings are kept
    memory_client.create_index(unique_name(), KEY, config)  # no logger: reset to errors only
    logger.info("not written")
    assert capfd.readouterr().out == ""


def test_load_serialized_index_takes_bytes_only(memory_client):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        memory_client.load_serialized_index(bytearray(b"abc"), KEY)
    with pytest.raises(ValueError):
        memory_client.load_serialized_index(b"not a serialized index", KEY)


def test_memory_locations(memory_client):
    assert memory_client.list_indexes() == []
    name = unique_name()
    make_index(memory_client, name=name)
    make_index(memory_client, name=name)  # a memory config store keeps no names
    with pytest.raises(ValueError, match="Memory location is not supported"):
        memory_client.load_index(name, KEY)


@pytest.mark.parametrize("kind", ["postgres", "redis"])
def test_creating_a_name_twice_is_refused(kind):
    client = make_client(kind)
    name = unique_name()
    make_index(client, name=name)
    with pytest.raises(ValueError) as caught:
        make_index(client, name=name)
    assert str(caught.value) == f"Failed to create index: Index name {name} already exists"


def test_postgres_listing():
    client = make_client("postgres")
    names = sorted(unique_name() for _ in range(3))
    for name in names:
        make_index(client, name=name)
    assert sorted(client.list_indexes()) == names


def test_redis_cannot_be_listed():
    with pytest.raises(ValueError, match="Listing indexes needs a PostgreSQL or memory config location."):
        make_client("redis").list_indexes()


def test_postgres_listing_failure_is_value_error(capfd):
    location = dz.DBConfig("postgres", table_name="t", connection_string="host=127.0.0.1 port=1 connect_timeout=2")
    with pytest.raises(ValueError, match="Failed to connect to PostgreSQL"):
        dz.Client(location, location, location).list_indexes()
    assert "Error in ListIndexes for Postgres: " in capfd.readouterr().err


@pytest.mark.parametrize("record", [".oei", ".ovs"])
@pytest.mark.parametrize("kept, exception, message", [
    (0, ValueError, "Data size must be a multiple of the number of columns"),
    (27, ValueError, "Rows are narrower than an envelope: 27 bytes (at least 28)"),
    (28, RuntimeError, "Failed to decrypt 1 ciphertexts"),
    (60, RuntimeError, "Failed to decrypt 1 ciphertexts"),
])
def test_load_index_of_a_cut_config_record(record, kept, exception, message):
    """A stored config record cut short: empty, or narrower than a sealed value, it is refused for
    its size (ValueError); long enough, it fails to open (RuntimeError)."""
    connection = server_address("DZ_PG_CONNSTR")
    base = unique_name()
    client = dz.Client(*(dz.DBConfig("postgres", table_name=f"{base}_{part}", connection_string=connection)
                         for part in ("index", "config", "items")))
    name = unique_name()
    make_index(client, name=name)
    run_tool(["psql", "-X", "-q", connection, "-c",
              f"UPDATE {base}_config SET config = substring(config from 1 for {kept}) "
              f"WHERE index_name = '{name}{record}'"], check=True)
    with pytest.raises(exception) as caught:
        client.load_index(name, KEY)
    assert str(caught.value) == message


@pytest.mark.parametrize("kind", ["postgres", "redis"])
def test_load_index_failures_are_runtime_errors(kind):
    client = make_client(kind)
    name = unique_name()
    make_index(client, name=name)
    with pytest.raises(RuntimeError):
        client.load_index(name, bytes(range(2, 34)))  # another key does not decrypt the stored state
    with pytest.raises(RuntimeError, match="does not exist"):
        client.load_index(unique_name(), KEY)
    with pytest.raises(ValueError, match="Index name cannot be an empty string."):
        client.load_index("", KEY)


# No refused call shows the index key: not in the exception (nor its chain), not in a log line.
SECRET = list(range(201, 233))
LOG = dz.Logger.instance()
CONFIG = dz.IndexIVFFlat(4, 2)

KEY_FORMS = {
    "list": list,
    "tuple": tuple,
    "bytes": bytes,
    "array": lambda items: np.array(items, dtype=np.uint8),
}

BAD_CALLS = {
    "create: no config": lambda c, k: c.create_index("n", k(SECRET), logger=LOG),
    "create: 31 items": lambda c, k: c.create_index("n", k(SECRET[:31]), CONFIG, logger=LOG),
    "create: 33 items": lambda c, k: c.create_index("n", k(SECRET + [1]), CONFIG, logger=LOG),
    "create: float items": lambda c, k: c.create_index("n", [i + 0.5 for i in SECRET], CONFIG, logger=LOG),
    "create: item 256": lambda c, k: c.create_index("n", SECRET[:31] + [256], CONFIG, logger=LOG),
    "create: cache text": lambda c, k: c.create_index("n", k(SECRET), CONFIG, max_cache_size="x", logger=LOG),
    "create: negative cache": lambda c, k: c.create_index("n", k(SECRET), CONFIG, max_cache_size=-1, logger=LOG),
    "create: logger text": lambda c, k: c.create_index("n", k(SECRET), CONFIG, logger="log"),
    "create: config text": lambda c, k: c.create_index("n", k(SECRET), "config", logger=LOG),
    "create: name number": lambda c, k: c.create_index(5, k(SECRET), CONFIG, logger=LOG),
    "create: model number": lambda c, k: c.create_index("n", k(SECRET), CONFIG, embedding_model=5, logger=LOG),
    "create: empty name": lambda c, k: c.create_index("", k(SECRET), CONFIG, logger=LOG),
    "create: unknown keyword": lambda c, k: c.create_index("n", k(SECRET), CONFIG, logger=LOG, bogus=1),
    "create: key twice": lambda c, k: c.create_index("n", k(SECRET), CONFIG, logger=LOG, index_key=k(SECRET)),
    "create: too many": lambda c, k: c.create_index("n", k(SECRET), CONFIG, None, 0, LOG, 1),
    "create: bad self": lambda c, k: dz.Client.create_index(None, "n", k(SECRET), CONFIG, logger=LOG),
    "load: negative cache": lambda c, k: c.load_index("n", k(SECRET), max_cache_size=-1, logger=LOG),
    "load: cache text": lambda c, k: c.load_index("n", k(SECRET), "x", LOG),
    "load: logger text": lambda c, k: c.load_index("n", k(SECRET), logger="log"),
    "load: 31 items": lambda c, k: c.load_index("n", k(SECRET[:31]), logger=LOG),
    "load: key as name": lambda c, k: c.load_index(k(SECRET), logger=LOG),
    "load: memory location": lambda c, k: c.load_index("n", k(SECRET), logger=LOG),
    "serialized: bytearray": lambda c, k: c.load_serialized_index(bytearray(b"x"), k(SECRET), logger=LOG),
    "serialized: invalid": lambda c, k: c.load_serialized_index(b"x" * 16, k(SECRET), logger=LOG),
    "serialized: logger number": lambda c, k: c.load_serialized_index(b"x", k(SECRET), logger=1),
    "serialized: 33 items": lambda c, k: c.load_serialized_index(b"x", k(SECRET + [1]), logger=LOG),
}


def _key_traces(text):
    raw = bytes(SECRET)
    forms = [", ".join(map(str, SECRET[:3])), " ".join(map(str, SECRET[:3])), repr(raw)[2:14], raw.hex()[:6],
             raw.hex().upper()[:6], raw[:3].hex(" "), raw[:3].decode("latin-1")]
    return [form for form in forms if form in text]


@pytest.mark.parametrize("form", KEY_FORMS)
@pytest.mark.parametrize("call", BAD_CALLS)
def test_refused_calls_never_show_the_key(memory_client, capfd, call, form):
    LOG.configure("info")
    with pytest.raises((TypeError, ValueError, RuntimeError)) as caught:
        BAD_CALLS[call](memory_client, KEY_FORMS[form])
    texts = "".join(traceback.format_exception(caught.value)) + repr(caught.value)
    captured = capfd.readouterr()
    assert _key_traces(texts) == [], texts
    assert _key_traces(captured.out + captured.err) == []


def test_refusals_name_the_argument_and_its_type(memory_client):
    with pytest.raises(TypeError) as caught:
        memory_client.create_index("n", bytes(SECRET[:31]), CONFIG)
    assert str(caught.value).endswith(
        "Argument index_key (of type bytes) does not convert to Annotated[list[int], FixedSize(32)].")
    assert "1. (self: dodezero_vizu.Client, index_name: str, " in str(caught.value)
    for call, reason in [
        (lambda: memory_client.create_index("n", SECRET), "Missing argument: index_config."),
        (lambda: memory_client.load_index("n", SECRET, 0, None, 1), "Too many positional arguments: 5 given, at most 4."),
        (lambda: memory_client.load_index("n", SECRET, cache=1), "Unexpected keyword argument: cache."),
        (lambda: memory_client.load_serialized_index(b"", SECRET, index_key=SECRET), "Argument given twice: index_key."),
    ]:
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value).endswith(reason)


def test_redis_pair_string_password_is_masked_in_the_log(capfd):
    connection = "host=127.0.0.1,port=1,db=0,password=pairsecret"
    location = dz.DBConfig("redis", table_name="t", connection_string=connection)
    LOG.configure("info")
    with pytest.raises(ValueError) as caught:
        dz.Client(location, location, location).create_index(unique_name(), KEY, CONFIG, logger=LOG)
    captured = capfd.readouterr()
    assert "Creating new index with db: host=127.0.0.1,port=1,db=0,password=****" in captured.out
    assert "pairsecret" not in captured.out + captured.err + str(caught.value)
