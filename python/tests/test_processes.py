"""Several processes sharing one index on PostgreSQL and Redis: writers take turns and lose nothing,
readers see what was committed at their next call, a killed writer holds nobody up for long, and a
process follows a training done by another."""

import multiprocessing as mp
import os
import queue
import signal
import time

import numpy as np
import pytest

import dodezero_vizu as dz
import process_workers as pw
from support import run_tool, server_address, unique_name

SPAWN = mp.get_context("spawn")
FORK = mp.get_context("fork")
FORKED_WARNING = ("This process was forked after the module started its threads: it runs the module's work on "
                  'one thread. The "spawn" start method keeps every thread.')


@pytest.fixture(params=["postgres", "redis"])
def shared(request):
    """(stores, name) of a fresh index in tables of its own; `stores` opens it in any process."""
    variable = "DZ_PG_CONNSTR" if request.param == "postgres" else "DZ_REDIS_CONNSTR"
    connection = server_address(variable)
    base = unique_name()
    stores = (request.param, connection, [f"{base}_index", f"{base}_config", f"{base}_items"])
    name = unique_name("shared")
    index = pw.client_of(stores).create_index(name, pw.KEY, dz.IndexIVFFlat(pw.DIMENSION, 4))
    yield stores, name
    try:
        pw.client_of(stores).load_index(name, pw.KEY).delete_index()
    except RuntimeError:
        pass
    del index


def run_all(processes, timeout=120):
    for p in processes:
        p.start()
    for p in processes:
        p.join(timeout)
        assert p.exitcode == 0, f"{p.name} ended with {p.exitcode}"


def everything(index, dimension=pw.DIMENSION):
    """Every item a query over all lists finds, id -> distance to the zero vector... as a count map."""
    hits = index.query(np.zeros(dimension, np.float32), top_k=100000, n_probes=100000)
    found = {}
    for h in hits:
        found[h["id"]] = found.get(h["id"], 0) + 1
    return hits, found


def expect_whole(index, ids, writers):
    """Each id is found once by a query and by a get, in one writer's whole version."""
    hits, found = everything(index)
    assert sorted(found) == sorted(ids)
    assert set(found.values()) == {1}
    got = {g["id"]: g for g in index.get(list(ids))}
    assert sorted(got) == sorted(ids)
    distance = {h["id"]: h["distance"] for h in hits}
    for item_id, g in got.items():
        writer = g["metadata"]["writer"]
        assert writer in writers
        want = pw.version_of(item_id, writer)
        assert np.array_equal(np.array(g["vector"], np.float32), np.array(want["vector"], np.float32)), item_id
        assert g["contents"] == want["contents"], item_id
        assert distance[item_id] == pytest.approx(float(np.linalg.norm(want["vector"])), rel=1e-4)


def test_writers_with_distinct_ids_lose_nothing(shared):
    stores, name = shared
    ids = {w: [f"w{w}-{i}" for i in range(1000)] for w in range(4)}
    run_all([SPAWN.Process(target=pw.upsert_ids, args=(stores, name, w, ids[w], 50)) for w in range(4)])
    index = pw.client_of(stores).load_index(name, pw.KEY)
    expect_whole(index, [i for w in ids for i in ids[w]], {0, 1, 2, 3})


def test_writers_with_overlapping_ids_leave_one_whole_version(shared):
    stores, name = shared
    ids = [f"item-{i}" for i in range(300)]
    run_all([SPAWN.Process(target=pw.upsert_ids, args=(stores, name, w, ids, 25, w)) for w in range(4)])
    index = pw.client_of(stores).load_index(name, pw.KEY)
    expect_whole(index, ids, {0, 1, 2, 3})


def test_cached_reader_sees_another_process_upsert_and_delete(shared):
    stores, name = shared
    first = [f"a-{i}" for i in range(20)]
    writer = pw.client_of(stores).load_index(name, pw.KEY)
    writer.upsert([pw.version_of(i, 0) for i in first])
    reader = pw.client_of(stores).load_index(name, pw.KEY, max_cache_size=1000)
    assert len(everything(reader)[1]) == 20
    assert len(everything(reader)[1]) == 20  # answered from the cache
    later = [f"b-{i}" for i in range(10)]
    run_all([SPAWN.Process(target=pw.upsert_and_delete, args=(stores, name, later, first[:5]))])
    _, found = everything(reader)
    assert sorted(found) == sorted(first[5:] + later)


def test_a_process_follows_a_training_done_by_another(shared):
    stores, name = shared
    ids = [f"t-{i}" for i in range(200)]
    stale = pw.client_of(stores).load_index(name, pw.KEY)
    stale.upsert([pw.version_of(i, 1) for i in ids])
    assert not stale.is_trained()
    run_all([SPAWN.Process(target=pw.train, args=(stores, name))])
    # The object opened before the training writes into the trained lists, and finds everything.
    stale.upsert([pw.version_of("late", 1)])
    assert stale.is_trained()
    expect_whole(stale, ids + ["late"], {1})
    fresh = pw.client_of(stores).load_index(name, pw.KEY)
    assert fresh.is_trained()
    expect_whole(fresh, ids + ["late"], {1})


def _lock_held(stores):
    """Whether some process holds a writer lock on the index's server right now."""
    kind, connection, _ = stores
    if kind == "postgres":
        out = run_tool(["psql", "-X", connection, "-Atc",
                        "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND granted"],
                       capture_output=True, text=True, check=True).stdout
        return int(out.strip() or 0) > 0
    port = dict(pair.split(":", 1) for pair in connection.split(","))["port"]
    out = run_tool(["redis-cli", "-h", "127.0.0.1", "-p", port, "--scan", "--pattern", "dz:lock:*"],
                   capture_output=True, text=True, check=True).stdout
    return bool(out.strip())


def test_a_killed_writer_holds_the_others_up_only_briefly(shared):
    stores, name = shared
    # A writer and two readers (one caching lists) of the index, open and waiting before the kill.
    go, report = SPAWN.Event(), SPAWN.Queue()
    others = [SPAWN.Process(target=pw.answer_when_told, args=(stores, name, role, cache, go, report))
              for role, cache in (("writer", 0), ("reader", 0), ("caching reader", 16))]
    for p in others:
        p.start()
    try:
        for _ in others:
            assert report.get(timeout=120)[0] == "ready"
        for _ in range(5):
            victim = SPAWN.Process(target=pw.upsert_forever, args=(stores, name))
            victim.start()
            deadline = time.monotonic() + 60
            while not _lock_held(stores):
                assert time.monotonic() < deadline and victim.is_alive(), "the writer never took its lock"
            os.kill(victim.pid, signal.SIGKILL)
            killed_at = time.monotonic()
            victim.join(30)
            # A Redis key outlives its killed holder: then the kill came while the lock was held.
            # (A PostgreSQL lock goes with the session, so there the check above is all there is.)
            if stores[0] == "postgres" or _lock_held(stores):
                break
        else:
            pytest.fail("the writer was never killed while it held its lock")
        # PostgreSQL frees the lock with the connection at once, Redis at the lock's expiry (5 s).
        go.set()
        waited = {}
        for _ in others:
            _, role, answered_at = report.get(timeout=120)
            waited[role] = answered_at - killed_at
        assert max(waited.values()) < 10, waited
    finally:
        for p in others:
            p.join(30)
            if p.is_alive():
                p.kill()
                p.join()
    assert all(p.exitcode == 0 for p in others)
    index = pw.client_of(stores).load_index(name, pw.KEY)
    _, found = everything(index)
    assert {f"after-{i}" for i in range(50)} <= set(found)
    # What the victim wrote is absent or whole, and found once.
    long_ids = [i for i in found if i.startswith("long-")]
    assert set(found.values()) == {1}
    for g in index.get(long_ids):
        want = pw.version_of(g["id"], 9)
        assert g["contents"] == want["contents"] and g["metadata"] == want["metadata"]


def test_a_child_forked_after_parallel_work_answers_on_one_thread(shared, tmp_path):
    stores, name = shared
    memory = dz.DBConfig("memory")
    index = dz.Client(memory, memory, memory, cpu_threads=4).create_index(
        unique_name("parent"), pw.KEY, dz.IndexIVFFlat(pw.DIMENSION, 8))
    ids = [f"p-{i}" for i in range(20000)]
    index.upsert([pw.version_of(i, 3) for i in ids])  # the parent's threads are running now
    assert index.query(np.array(pw.vector_of(ids[0], 3)), top_k=1)[0]["id"] == ids[0]
    mine = pw.client_of(stores).load_index(name, pw.KEY)
    mine.upsert([pw.version_of("parent-0", 1)])
    log = tmp_path / "child.log"
    report = FORK.Queue()
    child = FORK.Process(target=pw.forked_child_work, args=(stores, name, (index, ids), mine, str(log), report))
    child.start()
    try:
        result = report.get(timeout=120)
    except queue.Empty:
        result = None
    child.join(30)
    if child.is_alive():
        child.kill()
        child.join()
    assert result is not None, "the forked child hung"
    assert "error" not in result, result
    assert child.exitcode == 0
    assert result["nearest"] == "child-7" and not result["trained_before"]
    assert result["batch"] == ids[:20]
    written = [f"inherited-{i}" for i in range(50)] + [f"forked-{i}" for i in range(150)]
    assert result["shared"] == sorted(written + ["parent-0"])
    assert log.read_text().count(FORKED_WARNING) == 1
    # The parent kept its threads, its memory index (the child changed its own copy) and its
    # session, which the child's use and end of the inherited object left alone.
    assert len(everything(index)[1]) == 20000
    assert not index.is_trained()
    mine.upsert([pw.version_of("parent-1", 1)])
    assert sorted(everything(mine)[1]) == sorted(written + ["parent-0", "parent-1"])
