"""The README's Python examples run as written. Each ```python block runs in a namespace of its
own; a line that shows its result (`expression  # -> value`) is checked. A block that uses the
README's example connection strings runs against the test servers, with their addresses put in
place; ```text blocks show forms (connection strings) and are not run."""

import pathlib
import re

import pytest

from support import server_address

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"
# The example connection strings of the runnable blocks, and the test servers they stand for.
SERVERS = {
    "host=localhost dbname=vectors user=app": "DZ_PG_CONNSTR",
    "host:localhost,port:6379,db:0": "DZ_REDIS_CONNSTR",
}
SHOWN = re.compile(r"^(\s*)(\S.*?)\s+# -> (.+)$")


def python_blocks():
    """(line number, code) of every ```python block."""
    blocks, code, start = [], None, 0
    for number, line in enumerate(README.read_text().splitlines(), 1):
        if code is None:
            if line.strip() == "```python":
                code, start = [], number + 1
        elif line.strip() == "```":
            blocks.append((start, "\n".join(code) + "\n"))
            code = None
        else:
            code.append(line)
    assert code is None, "a ```python block is not closed"
    return blocks


def checked(code, start):
    """The code with each shown result turned into a check of it."""
    lines = []
    for offset, line in enumerate(code.splitlines()):
        shown = SHOWN.match(line)
        if shown:
            indent, expression, value = shown.groups()
            line = f"{indent}_shows(({expression}), ({value}), {start + offset})"
        lines.append(line)
    return "\n".join(lines) + "\n"


def _shows(actual, expected, line):
    assert actual == expected, f"README line {line} shows {expected!r}, the code gives {actual!r}"


BLOCKS = python_blocks()


def test_the_readme_has_examples():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("start, code", BLOCKS, ids=[f"line {start}" for start, _ in BLOCKS])
def test_readme_example_runs_as_written(start, code):
    for example, variable in SERVERS.items():
        if example in code:
            code = code.replace(example, server_address(variable))
    exec(compile(checked(code, start), f"README.md:{start}", "exec"), {"_shows": _shows})
