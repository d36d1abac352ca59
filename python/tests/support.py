"""Shared helpers of the module's tests: store locations, unique names, index factories."""

import os
import subprocess
import uuid

import pytest

import dodezero_vizu as dz

KEY = bytes(range(1, 33))
NOT_CONNECTED = (
    "Not connected to any index. Please call `CreateIndex()` or `LoadIndex()` before calling this function."
)

_SERVER_VARIABLES = {
    "postgres": "DZ_PG_CONNSTR",
    "redis": "DZ_REDIS_CONNSTR",
    "redis_tls": "DZ_REDIS_TLS_CONNSTR",
}


def server_address(variable):
    """The value of `variable`; a missing server fails the test under CI=true and skips it otherwise."""
    value = os.environ.get(variable)
    if value:
        return value
    if os.environ.get("CI") == "true":
        pytest.fail(f"{variable} is not set: test server missing")
    pytest.skip(f"{variable} is not set: start the servers with scripts/test")


def run_tool(args, timeout=60, **kwargs):
    """Runs a program that is not the module (psql, redis-cli) and waits at most `timeout` seconds.
    It runs without the sanitizer runtime that a sanitized suite preloads for the module: psql
    hangs in its start-up under it."""
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    return subprocess.run(args, env=env, timeout=timeout, **kwargs)


def unique_name(prefix="t"):
    return f"{prefix}_{uuid.uuid4().hex[:12]}"


def locations(kind):
    """Index, config and items locations of one store kind, in tables no other test uses."""
    if kind == "memory":
        return [dz.DBConfig("memory") for _ in range(3)]
    connection = server_address(_SERVER_VARIABLES[kind])
    location = "postgres" if kind == "postgres" else "redis"
    base = unique_name()
    return [
        dz.DBConfig(location, table_name=f"{base}_{part}", connection_string=connection)
        for part in ("index", "config", "items")
    ]


def make_client(kind, cpu_threads=2, **kwargs):
    """A client of one store kind. Two OpenMP threads keep the parallel regions real while a busy
    machine cannot stall every barrier of a test (the count sticks to the calling thread)."""
    return dz.Client(*locations(kind), cpu_threads=cpu_threads, **kwargs)


def make_index(client, dimension=4, n_lists=2, metric="euclidean", name=None, **kwargs):
    config = dz.IndexIVFFlat(dimension, n_lists, metric)
    return client.create_index(name or unique_name("idx"), KEY, config, **kwargs)
