"""A run the user can watch and stop: the window answers while a slow server takes a file, the bar
moves within it, Stop ends the run and keeps the old copy, tray Shutdown ends the program during a
run, and a daily time that comes while a question of a run is open starts no second run."""

import datetime
import socket
import time

import pytest

from quillory_e2e import TEST_SETTINGS, TRAY_SHUTDOWN, wine_path

# Slow enough that one file of a few hundred KiB takes seconds, fast enough for a short test.
READ_BYTES_PER_SECOND = 4 * 1024 * 1024
# Small receive buffers on the server, so that what the program has sent is what was read.
SERVER_BUFFER_BYTES = 32 * 1024
FILE_BYTES = 16 * 1024 * 1024
WM_QUERYENDSESSION, WM_ENDSESSION = 0x11, 0x16


def throttle(server):
    from pyftpdlib.handlers import ThrottledDTPHandler

    class SlowDtp(ThrottledDTPHandler):
        read_limit = READ_BYTES_PER_SECOND

        def __init__(self, sock, cmd_channel):
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SERVER_BUFFER_BYTES)
            super().__init__(sock, cmd_channel)

    server.server.handler.dtp_handler = SlowDtp
    return server


def settings_for(server, workdir, directory=""):
    (workdir / "big.bin").write_bytes(bytes(range(256)) * (FILE_BYTES // 256))
    return {"server": server.address, "login": server.USER, "password": server.PASSWORD,
            "directory": directory, "files": [wine_path(workdir / "big.bin")]}


def connections(server):
    return sum(1 for kind, name, _t in server.commands if kind == "command" and name == "USER")


def test_window_answers_and_the_bar_moves_during_one_big_file(quillory, ftp_server, workdir):
    throttle(ftp_server)
    app = quillory(settings=settings_for(ftp_server, workdir))
    app.click(TEST_SETTINGS)
    assert app.wait_until(lambda: app.text(TEST_SETTINGS) == "Stop", timeout=10)
    answers, positions = [], set()
    while app.text(TEST_SETTINGS) == "Stop" and len(answers) < 200:
        answers.append(app.answer_ms())
        low, high, pos = app.progress()
        if 0 < pos < high:
            positions.add(pos)
        time.sleep(0.1)
    assert app.text(TEST_SETTINGS) == "Test Settings"
    assert -1 not in answers and max(answers) < 1000, answers
    assert len(positions) >= 3, f"the bar stood still within the file: {sorted(positions)}"
    assert ftp_server.files() == {"big.bin": (workdir / "big.bin").read_bytes()}
    assert app.progress()[2] == 0, "reset after the run"


def test_stop_keeps_the_old_copy_and_leaves_no_temporary_file(quillory, ftp_server, workdir):
    throttle(ftp_server)
    (ftp_server.root / "big.bin").write_bytes(b"old copy")
    app = quillory(settings=settings_for(ftp_server, workdir))
    app.click(TEST_SETTINGS)
    assert app.wait_until(lambda: app.progress()[2] > 0, timeout=10)
    app.click(TEST_SETTINGS)  # reads "Stop"
    buttons, text = app.message_box(timeout=5)
    assert text == "The backup was stopped. 0 of 1 file was sent."
    app.answer("ok")
    assert app.wait_until(lambda: app.text(TEST_SETTINGS) == "Test Settings", timeout=5)
    assert app.wait_until(lambda: ftp_server.files() == {"big.bin": b"old copy"}, timeout=5), \
        ftp_server.files().keys()
    renames = [name for kind, name, _t in ftp_server.commands if name in ("RNFR", "RNTO")]
    assert renames == []


def test_tray_shutdown_during_a_run_ends_with_code_one(quillory, ftp_server, workdir):
    throttle(ftp_server)
    app = quillory(settings=settings_for(ftp_server, workdir))
    app.click(TEST_SETTINGS)
    assert app.wait_until(lambda: app.progress()[2] > 0, timeout=10)
    app.command(TRAY_SHUTDOWN)
    assert app.wait_exit(timeout=10) == 1
    assert "big.bin" not in ftp_server.files()


def test_daily_time_while_the_directory_question_is_open_starts_no_second_run(
        quillory, ftp_server, workdir):
    app = quillory(settings=settings_for(ftp_server, workdir, directory="missing"))
    target = datetime.datetime.now() + datetime.timedelta(seconds=14)
    if target.date() != datetime.date.today():
        pytest.skip("too close to midnight for a schedule a few seconds ahead")
    app.set_time(target.strftime("%H:%M:%S"))
    app.apply()
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=10)
    assert "cannot be found" in text
    # The daily time (9 s early at most) passes while the question stays open.
    time.sleep(max(0.0, target.timestamp() - time.time()) + 1.5)
    assert app.answer_ms() >= 0
    assert connections(ftp_server) == 1
    app.answer("no")
    app.message_box(timeout=5)  # continue in the default directory?
    app.answer("no")
    assert app.wait_until(lambda: app.text(TEST_SETTINGS) == "Test Settings", timeout=5)
    time.sleep(1.5)
    assert connections(ftp_server) == 1


def test_end_of_session_during_a_run_stops_it_without_a_box(quillory, ftp_server, workdir):
    throttle(ftp_server)
    (ftp_server.root / "big.bin").write_bytes(b"old copy")
    app = quillory(settings=settings_for(ftp_server, workdir))
    app.click(TEST_SETTINGS)
    assert app.wait_until(lambda: app.progress()[2] > 0, timeout=10)
    app.call("post", str(WM_QUERYENDSESSION), "0", "0")
    app.call("post", str(WM_ENDSESSION), "1", "0")
    assert app.wait_until(lambda: app.text(TEST_SETTINGS) == "Test Settings", timeout=5)
    assert app.no_message_box(wait=1)
    assert app.wait_until(lambda: ftp_server.files() == {"big.bin": b"old copy"}, timeout=5)
    app.command(TRAY_SHUTDOWN)
    assert app.wait_exit(timeout=10) == 1


def test_stop_pressed_while_the_directory_question_is_open_counts_its_answer_for_nothing(
        quillory, ftp_server, workdir):
    app = quillory(settings=settings_for(ftp_server, workdir, directory="missing"))
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=10)
    assert "cannot be found" in text
    app.click(TEST_SETTINGS)  # Stop, while the question is open
    time.sleep(0.5)
    app.answer("yes")
    buttons, text = app.message_box(timeout=5)
    assert text == "The backup was stopped. 0 of 1 file was sent."
    app.answer("ok")
    assert app.wait_until(lambda: app.text(TEST_SETTINGS) == "Test Settings", timeout=5)
    assert not (ftp_server.root / "missing").exists()
    assert ftp_server.files() == {}
