"""Logger: the borrowed singleton, its level texts, its file and what each message method writes."""

import re

import pytest

import dodezero_vizu as dz

STAMP = r"\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\]"


def line(level, message):
    """A pattern for one log line as the logger writes it."""
    return re.compile(STAMP + re.escape(f"[{level}] {message}") + "\n")


def test_instance_is_the_one_singleton():
    first = dz.Logger.instance()
    assert dz.Logger.instance() is first
    del first  # Python never owns it: dropping the view leaves the singleton working
    dz.Logger.instance().configure("error")


@pytest.mark.parametrize("level", ["debug", "INFO", "Error", "", "critical "])
def test_unknown_level_is_refused_and_changes_nothing(level, capfd):
    logger = dz.Logger.instance()
    logger.configure("critical")
    with pytest.raises(ValueError) as caught:
        logger.configure(level)
    assert str(caught.value) == "Invalid log level: " + level
    logger.error("hidden")  # still below the CRITICAL threshold
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("threshold, written", [
    ("info", {"info", "warning", "error", "critical"}),
    ("warning", {"warning", "error", "critical"}),
    ("error", {"error", "critical"}),
    ("critical", {"critical"}),
])
def test_threshold_and_console_streams(threshold, written, capfd):
    logger = dz.Logger.instance()
    logger.configure(threshold)
    for method in ("debug", "info", "warning", "error", "critical"):
        getattr(logger, method)(f"{method} line")
    out, err = capfd.readouterr()
    expected_out = "".join(f"[{m.upper()}] {m} line\n" for m in ("info", "warning") if m in written)
    expected_err = "".join(f"[{m.upper()}] {m} line\n" for m in ("error", "critical") if m in written)
    assert re.sub(r"^\[[^]]*\]", "", out, flags=re.M) == expected_out
    assert re.sub(r"^\[[^]]*\]", "", err, flags=re.M) == expected_err
    for text in filter(None, (out + err).splitlines(keepends=True)):
        assert re.fullmatch(STAMP + r"\[[A-Z]+\] [a-z]+ line\n", text)


def test_to_file_uses_the_default_name_in_the_working_directory(tmp_path, monkeypatch, capfd):
    monkeypatch.chdir(tmp_path)
    logger = dz.Logger.instance()
    logger.configure("info", True)
    logger.info("into the file")
    logger.error("also into the file")
    logger.configure("error")  # back to the console; the file keeps what was written
    assert capfd.readouterr() == ("", "")
    text = (tmp_path / "ostrik_client.log").read_text()
    assert line("INFO", "into the file").match(text)
    assert line("ERROR", "also into the file").search(text)


def test_log_file_is_appended_to(tmp_path):
    path = tmp_path / "client.log"
    path.write_text("earlier\n")
    logger = dz.Logger.instance()
    logger.configure("warning", to_file=True, file_path=str(path))
    logger.warning("later")
    logger.configure("error")
    text = path.read_text()
    assert text.startswith("earlier\n") and line("WARNING", "later").search(text)


def test_without_to_file_no_file_is_opened(tmp_path, capfd):
    path = tmp_path / "never.log"
    dz.Logger.instance().configure("error", False, str(path))
    dz.Logger.instance().error("on the console")
    assert not path.exists()
    assert line("ERROR", "on the console").fullmatch(capfd.readouterr().err)


def test_unopenable_file_falls_back_to_the_console(tmp_path, capfd):
    path = tmp_path / "missing-dir" / "x.log"
    logger = dz.Logger.instance()
    logger.configure("info", True, str(path))
    assert capfd.readouterr().err == f"[Logger] Failed to open log file: {path}\n"
    logger.info("still written")
    assert line("INFO", "still written").fullmatch(capfd.readouterr().out)


def test_message_methods_are_positional_only():
    logger = dz.Logger.instance()
    for method in ("info", "debug", "warning", "error", "critical"):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(logger, method)(message="x")
    with pytest.raises(TypeError):
        logger.info(3)
