"""The release program itself: build/win32/Quillory.exe, the 32-bit build users get, started by Wine's
32-bit loader in a prefix of its own.

Calling conventions, structure sizes, pointers in 32-bit fields, stack alignment and the i686 runtime
are what the 64-bit tests cannot show. Where the kernel runs no 32-bit code, qemu-user runs the
loader (tools/setup.sh registers it with binfmt_misc) and every start of the program costs about a
minute of CPU: the suite starts it twice and checks several things in each run.
"""

import subprocess

import pytest

from conftest import BUILD
from quillory_e2e import (DIRECTORY_EDIT, LOGIN_EDIT, PASSWORD_EDIT, SERVER_EDIT, TEST_SETTINGS, Driver,
                          encode_settings, unescape, wine_path)
from test_settings import fill
from test_transfer import CREATE_QUESTION, make_files
from test_tray import MENU_SHUTDOWN, WM_RBUTTONUP, choose, icon_in_tray, menu_open
from test_welcome_about import WELCOME_CAPTION, WELCOME_TEXT
from wine_session import ROOT, WineSession

RELEASE = ROOT / "build" / "win32" / "Quillory.exe"
LOADER32 = "/usr/lib/wine/wine"
WINESERVER32 = "/usr/lib/wine/wineserver32"
# Without a reserved range qemu 7.2 puts Wine's fixed mappings where they cannot be placed ("failed
# to map the shared user data"); a kernel running 32-bit code itself ignores it. UTC makes the stored
# time of day exact.
ENV32 = {"QEMU_RESERVED_VA": "0xc0000000", "TZ": "UTC"}
# Emulated, the first start and the first use of a dialog, a menu or a socket each translate new
# code first.
SLOW_S = 300
SLOW_MS = str(SLOW_S * 1000)


def why_no_32bit():
    try:
        subprocess.run([WINESERVER32, "--version"], check=True, capture_output=True, timeout=60)
    except FileNotFoundError:
        return "no 32-bit Wine (apt-get install wine32:i386, as tools/setup.sh does)"
    except (OSError, subprocess.CalledProcessError) as error:
        return (f"32-bit programs do not run here ({error}); tools/setup.sh registers qemu-i386 with "
                "binfmt_misc, as root, where binfmt_misc can be mounted")
    return None


@pytest.fixture(scope="module")
def wine_session():
    reason = why_no_32bit()
    if reason:
        pytest.skip(reason)
    session = WineSession(env=ENV32).start()
    yield session
    session.stop()


@pytest.fixture(scope="module")
def driver(wine_session):
    # The 64-bit driver reaches the 32-bit program's windows through the same wineserver.
    drv = Driver(wine_session.wine, BUILD / "qdriver.exe", wine_session.env)
    yield drv
    drv.close()


@pytest.fixture
def release(quillory):
    def start(**kwargs):
        app = quillory(exe=RELEASE, loader=LOADER32, wait_main=False, **kwargs)
        if not kwargs.get("first_run"):
            app.wait_main(timeout=SLOW_S)
        return app

    return start


def test_first_run_settings_applied_and_tray_shutdown(release, driver):
    app = release(first_run=True)
    assert driver.call("wait-visible", WELCOME_CAPTION, SLOW_MS) == "1"
    assert unescape(driver.call("get-text", WELCOME_CAPTION, "1010")) == WELCOME_TEXT
    assert app.settings() == {}  # the first run has created the key
    driver.call("click", WELCOME_CAPTION, "1")
    app.wait_main(timeout=SLOW_S)
    assert driver.call("exists", WELCOME_CAPTION) == "0"
    assert app.text(SERVER_EDIT) == "" and app.list_items() == [] and app.checked() == 1

    # Emulated, the driver cannot set the time control: it passes the value in memory it writes into
    # the program's process, and qemu keeps the program's memory at other addresses. So the default
    # time is stored here, and the next test loads a stored time and stores it again.
    entries = ["C:\\data\\report.doc", "C:\\logs\\*.log"]
    fill(app, server="ftp.example.com:2121", directory="nightly", login="alice", password="abc")
    app.add_entries(entries)
    app.set_checked(0)
    app.apply()
    assert app.settings() == encode_settings({
        "server": "ftp.example.com:2121", "directory": "nightly", "login": "alice", "password": "abc",
        "files": entries, "autorun": 0, "send_time": 6 * 3600})
    app.screenshot("release32-main-window")

    assert app.wait_until(lambda: icon_in_tray(app), timeout=SLOW_S), "no tray icon"
    app.tray(WM_RBUTTONUP)
    assert app.wait_until(lambda: menu_open(app), timeout=SLOW_S), "the tray menu did not open"
    choose(app, MENU_SHUTDOWN)
    assert app.wait_exit(timeout=SLOW_S) == 1


def test_stored_settings_load_and_the_list_is_sent_by_test_settings(release, ftp_server, workdir):
    report = bytes(range(256)) * 1200 + b"\r\n\x00\x1a"
    data = make_files(workdir / "data", {"report.doc": report})
    logs = make_files(workdir / "logs", {"a.log": b"A", "b.log": b"B" * 70000, "c.log": b"",
                                         "skip.txt": b"no"})
    entries = [wine_path(data / "report.doc"), wine_path(logs) + "\\*.log"]
    settings = {"server": ftp_server.address, "login": ftp_server.USER, "password": ftp_server.PASSWORD,
                "directory": "backup", "files": entries, "send_time": 23 * 3600 + 59 * 60 + 55, "autorun": 0}
    app = release(settings=settings)
    assert app.list_items() == entries
    assert [app.text(c) for c in (SERVER_EDIT, LOGIN_EDIT, PASSWORD_EDIT, DIRECTORY_EDIT)] == [
        ftp_server.address, ftp_server.USER, ftp_server.PASSWORD, "backup"]
    assert app.checked() == 0
    app.apply()
    assert app.settings() == encode_settings(settings)  # every value, the time too, came back as loaded

    app.click(TEST_SETTINGS)
    assert app.message_box(timeout=SLOW_S) == (["yes", "no"], CREATE_QUESTION)
    app.answer("yes")
    expected = {"report.doc": report, "a.log": b"A", "b.log": b"B" * 70000, "c.log": b""}
    backup = ftp_server.root / "backup"
    assert app.wait_until(lambda: backup.is_dir() and ftp_server.files("backup") == expected, timeout=SLOW_S)
    assert app.no_message_box(wait=5)
    app.command(1)  # OK: the quiet end
    assert app.wait_exit(timeout=SLOW_S) == 0
