"""The interpreter lock is given up while an index waits: for its store, and for its own mutex while
another thread's operation holds it. A paused Redis server makes the waits long and certain."""

import socket
import threading
import time

import numpy as np
import pytest

from support import make_client, make_index, server_address

PAUSE = 0.6    # seconds the server answers nobody
GLANCE = 0.15  # when this thread looks at the workers, well inside the pause


def pause_redis(seconds):
    """CLIENT PAUSE on the plain test server: every client's commands wait until the time is up."""
    fields = dict(part.split(":", 1) for part in server_address("DZ_REDIS_CONNSTR").split(","))
    milliseconds = str(int(seconds * 1000)).encode()
    command = b"*3\r\n$6\r\nCLIENT\r\n$5\r\nPAUSE\r\n$%d\r\n%s\r\n" % (len(milliseconds), milliseconds)
    with socket.create_connection((fields["host"], int(fields["port"]))) as connection:
        connection.sendall(command)
        assert connection.recv(64) == b"+OK\r\n"


class Worker(threading.Thread):
    def __init__(self, call):
        super().__init__(daemon=True)
        self.call, self.error, self.finished = call, None, None

    def run(self):
        try:
            self.call()
        except Exception as error:  # reported by the test
            self.error = error
        self.finished = time.monotonic()


@pytest.fixture
def redis_index(rng):
    index = make_index(make_client("redis"), n_lists=2)
    vectors = rng.random((6, 4), dtype=np.float32)
    index.upsert([f"v{k}" for k in range(6)], vectors)
    return index, vectors


OPERATIONS = {
    "upsert": lambda index, v: index.upsert(["new"], v[:1]),
    "upsert-items": lambda index, v: index.upsert([{"id": "new", "vector": v[0].tolist()}]),
    "get": lambda index, v: index.get(["v1"]),
    "delete": lambda index, v: index.delete(["v1"]),
    "query": lambda index, v: index.query(v[0]),
    "train": lambda index, v: index.train(),
    "train_and_serialize": lambda index, v: index.train_and_serialize(v),
    "delete_index": lambda index, v: index.delete_index(),
}


@pytest.mark.parametrize("operation", OPERATIONS)
def test_other_threads_run_while_an_operation_waits_for_its_store(redis_index, operation):
    index, vectors = redis_index
    start = time.monotonic()
    pause_redis(PAUSE)
    worker = Worker(lambda: OPERATIONS[operation](index, vectors))
    worker.start()
    time.sleep(GLANCE)  # wakes only once the worker has given the interpreter lock up
    glanced = time.monotonic()
    worker.join()
    assert worker.error is None
    assert worker.finished - start >= PAUSE * 0.9, "the operation did not wait for the paused store"
    assert glanced < worker.finished, "this thread could not run while the operation waited"


@pytest.mark.parametrize("accessor", ["is_trained", "index_name", "index_type", "index_config"])
def test_accessors_wait_for_the_index_without_the_lock(redis_index, accessor):
    index, vectors = redis_index
    start = time.monotonic()
    pause_redis(PAUSE)
    holder = Worker(lambda: index.get(["v1"]))  # holds the index's mutex until the pause ends
    holder.start()
    time.sleep(GLANCE / 3)
    waiter = Worker(getattr(index, accessor))
    waiter.start()
    time.sleep(GLANCE)
    glanced = time.monotonic()
    holder.join()
    waiter.join()
    assert holder.error is None and waiter.error is None
    assert holder.finished - start >= PAUSE * 0.9
    assert waiter.finished >= holder.finished - 0.05, "the accessor did not wait for the index"
    assert glanced < holder.finished, "this thread could not run while the accessor waited"
