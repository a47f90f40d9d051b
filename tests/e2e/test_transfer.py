""""Test Settings" sends the backup list to a real FTP server on loopback."""

import os
import time

import pytest

from quillory_e2e import (DIRECTORY_EDIT, PASSWORD_EDIT, TEST_SETTINGS, TRAY_HIDE, wine_path)

CREATE_QUESTION = "The specified destination directory cannot be found, do you wish to create it?"
DEFAULT_QUESTION = "Do you still wish to continue, placing the files in a default directory?"


def make_files(base, files):
    for name, data in files.items():
        path = base / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    return base


def start(quillory, server, entries, directory="", password=None, **extra):
    settings = {"server": server.address, "login": server.USER,
                "password": server.PASSWORD if password is None else password,
                "directory": directory, "files": entries}
    settings.update(extra)
    return quillory(settings=settings)


def run_test_settings(app, timeout=60):
    """Presses "Test Settings" and waits for the run to end (the button reads "Test Settings"
    again) or to show a box."""
    app.call("click-wait", str(TEST_SETTINGS))  # returns once the run has started
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if app.text(TEST_SETTINGS) == "Test Settings" or not app.no_message_box(wait=0.1):
            return
        time.sleep(0.1)
    raise AssertionError("the run did not end")


def received_count(server):
    return sum(1 for c in server.commands if c[0] == "received")


def test_files_and_wildcards_land_under_their_own_names(quillory, ftp_server, workdir):
    data = make_files(workdir / "data", {"report.doc": b"\x00\x01binary\r\n\xff" * 1000, "notes.txt": b"n"})
    logs = make_files(workdir / "logs", {"a.log": b"A", "b.log": b"B" * 70000, "c.log": b"",
                                         "skip.txt": b"no", "sub/inner.log": b"deep"})
    app = start(quillory, ftp_server, [wine_path(data / "report.doc"), wine_path(logs) + "\\*.log",
                                       wine_path(data / "notes.txt")], directory="backup")
    (ftp_server.root / "backup").mkdir()
    run_test_settings(app)
    assert ftp_server.files("backup") == {
        "report.doc": (data / "report.doc").read_bytes(), "notes.txt": b"n",
        "a.log": b"A", "b.log": b"B" * 70000, "c.log": b""}
    assert app.no_message_box()
    assert app.progress()[2] == 0  # the bar is reset
    assert app.visible()


def test_wildcard_with_sub_directories_sends_only_files(quillory, ftp_server, workdir):
    logs = make_files(workdir / "logs", {"one": b"1", "two.txt": b"2", "sub/three": b"3"})
    (logs / "emptydir").mkdir()
    app = start(quillory, ftp_server, [wine_path(logs) + "\\*"])
    run_test_settings(app)
    assert ftp_server.files() == {"one": b"1", "two.txt": b"2"}
    assert app.no_message_box()  # directories are no failures


def test_missing_file_is_named_and_the_rest_is_sent(quillory, ftp_server, workdir):
    make_files(workdir, {"here.txt": b"here"})
    missing = wine_path(workdir / "gone.txt")
    app = start(quillory, ftp_server, [missing, wine_path(workdir / "here.txt")])
    run_test_settings(app)
    buttons, text = app.message_box()
    assert buttons == ["ok"]
    assert "1 file" in text and missing in text
    app.answer("ok")
    assert ftp_server.files() == {"here.txt": b"here"}


# The answers to the directory questions, and where the file then lands (None: nowhere, and the
# window, hidden before, stays shown after the run).
@pytest.mark.parametrize("answers, lands_in", [
    (["yes"], "backup"),
    (["no", "yes"], ""),
    (["no", "no"], None),
], ids=["create", "login directory", "nothing"])
def test_directory_missing(quillory, ftp_server, workdir, answers, lands_in):
    make_files(workdir, {"f.txt": b"f"})
    app = start(quillory, ftp_server, [wine_path(workdir / "f.txt")], directory="backup")
    app.command(TRAY_HIDE)
    app.click(TEST_SETTINGS)
    for question, answer in zip([CREATE_QUESTION, DEFAULT_QUESTION], answers):
        assert app.message_box(timeout=30) == (["yes", "no"], question)
        app.answer(answer)
    if lands_in is None:
        assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=10)
        time.sleep(1)
        assert ftp_server.files() == {}
        assert app.visible()
    else:
        assert app.wait_until(lambda: (ftp_server.root / lands_in).exists()
                              and ftp_server.files(lands_in) == {"f.txt": b"f"})


def test_wrong_password_is_reported_and_the_program_goes_on(quillory, ftp_server, workdir):
    make_files(workdir, {"f.txt": b"f"})
    app = start(quillory, ftp_server, [wine_path(workdir / "f.txt")], password="wrong")
    app.command(TRAY_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["ok"] and "530" in text
    app.answer("ok")
    assert app.wait_until(lambda: app.no_message_box(wait=0.2), timeout=10)
    assert app.visible() and app.running()
    assert ftp_server.files() == {}
    # Corrected in the window, the next test run goes through.
    app.set_text(PASSWORD_EDIT, ftp_server.PASSWORD)
    run_test_settings(app)
    assert ftp_server.files() == {"f.txt": b"f"}


def test_unreachable_server_is_reported(quillory, ftp_server, workdir):
    port = ftp_server.port
    ftp_server.stop()
    app = quillory(settings={"server": f"127.0.0.1:{port}", "login": "x", "password": "y", "files": []})
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["ok"] and "127.0.0.1" in text
    app.answer("ok")
    assert app.running()


def test_hidden_window_is_shown_for_the_run_and_hidden_again(quillory, ftp_server):
    app = start(quillory, ftp_server, [])
    app.command(TRAY_HIDE)
    assert app.wait_until(lambda: not app.visible(), timeout=5)
    app.click(TEST_SETTINGS)
    assert app.wait_until(app.visible, timeout=5)  # shown before connecting
    assert app.wait_until(lambda: not app.visible(), timeout=30)
    assert app.progress() == (0, 0, 0)  # an empty list never sets the range


def test_same_file_twice_and_a_file_held_open_by_another_program(quillory, ftp_server, workdir, driver):
    make_files(workdir, {"twice.txt": b"2", "app.log": b"log line\n"})
    log = wine_path(workdir / "app.log")
    driver.call("hold-open", log)
    try:
        app = start(quillory, ftp_server, [wine_path(workdir / "twice.txt"), log,
                                           wine_path(workdir / "twice.txt")])
        run_test_settings(app)
        assert app.no_message_box()
    finally:
        driver.call("release")
    assert ftp_server.files() == {"twice.txt": b"2", "app.log": b"log line\n"}
    assert received_count(ftp_server) == 3


def test_forward_slashes_never_leave_the_remote_directory(quillory, ftp_server, workdir):
    make_files(workdir, {"x.txt": b"x"})
    entry = str(workdir / "x.txt")  # Z: is the Unix root; "/" separates like "\"
    entry = "Z:" + entry
    app = start(quillory, ftp_server, [entry], directory="in")
    (ftp_server.root / "in").mkdir()
    run_test_settings(app)
    assert ftp_server.files() == {"in/x.txt": b"x"}


def test_remote_directory_with_a_line_break_is_refused(quillory, ftp_server, workdir):
    make_files(workdir, {"x.txt": b"x"})
    app = start(quillory, ftp_server, [wine_path(workdir / "x.txt")])
    app.set_text(DIRECTORY_EDIT, "in\r\nDELE x.txt")
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["ok"]
    app.answer("ok")
    assert ftp_server.files() == {}


CYRILLIC = "\u041e\u0442\u0447\u0451\u0442.log"  # Отчёт.log
CHINESE = "\u62a5\u544a.log"  # 报告.log


def test_names_the_code_page_cannot_hold_arrive_whole(quillory, ftp_server, workdir):
    """Matched by a wildcard, and picked in the open-file dialog, which keeps the short name."""
    from test_list_editing import OPEN_CAPTION, navigate, open_file_dialog, wait_closed
    logs = make_files(workdir / "logs", {CHINESE: b"chinese", "plain.log": b"plain"})
    picked = make_files(workdir / "picked", {CYRILLIC: b"picked"})
    app = start(quillory, ftp_server, [wine_path(logs) + "\\*.log"])
    open_file_dialog(app)
    navigate(app, wine_path(picked))
    assert app.driver.call("select-all-items", OPEN_CAPTION) == "1"
    app.driver.call("click", OPEN_CAPTION, "1")
    wait_closed(app, OPEN_CAPTION)
    short = app.list_items()[1]
    # The folder's own name where the code page holds it, the file's short name where it does not.
    assert short.startswith(wine_path(picked) + "\\") and short.isascii() and "?" not in short, short
    run_test_settings(app)
    assert app.no_message_box()
    assert ftp_server.files() == {CHINESE: b"chinese", "plain.log": b"plain", CYRILLIC: b"picked"}


def test_wildcard_folder_that_cannot_be_read_is_named_and_the_rest_is_sent(quillory, ftp_server, workdir,
                                                                          wine_session):
    make_files(workdir, {"here.txt": b"here", "logs/a.log": b"A"})
    gone = wine_path(workdir / "gone") + "\\*.log"
    # A drive letter Wine maps to nothing stands for a card reader without a card.
    devices = wine_session.prefix / "dosdevices"
    away = next(f"{d}:\\logs\\*.log" for d in "QRSTUVWXY" if not (devices / f"{d.lower()}:").exists())
    app = start(quillory, ftp_server, [gone, wine_path(workdir / "here.txt"), away,
                                       wine_path(workdir / "logs") + "\\*.none",
                                       wine_path(workdir / "logs") + "\\*.log"])
    run_test_settings(app)
    buttons, text = app.message_box()
    assert buttons == ["ok"]
    assert text == ("2 folders could not be read:\n\n"
                    f"{gone} (The folder does not exist)\n"
                    f"{away} (The drive is not ready or not connected)")
    app.answer("ok")
    assert ftp_server.files() == {"here.txt": b"here", "a.log": b"A"}

