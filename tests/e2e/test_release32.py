"""The release program itself: build/win32/Quillory.exe, the 32-bit build users get, started by Wine's
32-bit loader in a prefix of its own, and its setup program, which is 32-bit too.

Calling conventions, structure sizes, pointers in 32-bit fields, stack alignment and the i686 runtime
are what the 64-bit tests cannot show. Where the kernel runs no 32-bit code, qemu-user runs the
loader (tools/setup.sh registers it with binfmt_misc) and every start of a process costs about a
minute of CPU: there only the first test runs (the program started, its settings applied, the tray's
Shutdown), as the whole module took 17 minutes emulated, and the installed program's backup over
several connections did not end within 5 of them. The rest runs where the kernel runs 32-bit code.
"""

import subprocess
import time
from pathlib import Path, PureWindowsPath

import pytest

from conftest import module_wine
from quillory_e2e import (DIRECTORY_EDIT, LOGIN_EDIT, MAIN_CAPTION, PASSWORD_EDIT, REG_SZ, RUN_KEY,
                          SERVER_EDIT, SETTINGS_KEY, TEST_SETTINGS, dword, encode_settings, sz,
                          unescape, wine_path)
from test_settings import fill
from test_transfer import CREATE_QUESTION, make_files
from test_tray import MENU_SHUTDOWN, WM_RBUTTONUP, choose, icon_in_tray, menu_open
from test_welcome_about import WELCOME_CAPTION, WELCOME_TEXT
from wine_session import ROOT, WineSession

RELEASE = ROOT / "build" / "win32" / "Quillory.exe"
SETUP = sorted((ROOT / "build" / "win32").glob("Quillory-*-setup.exe"))
UNINSTALL_KEY = r"Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillory"
# Where a 32-bit program's machine-wide values land on 64-bit Windows, and so in Wine's prefix.
RUN_KEY_32 = RUN_KEY.replace("Software\\", "Software\\Wow6432Node\\")
START_MENU = "AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
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
QEMU_HANDLER = Path("/proc/sys/fs/binfmt_misc/qemu-i386")
EMULATED = QEMU_HANDLER.exists() and QEMU_HANDLER.read_text().startswith("enabled")
native_only = pytest.mark.skipif(EMULATED, reason="32-bit code runs emulated here: the setup program "
                                 "and the installed program's backup are tested where it runs natively")


def why_no_32bit():
    try:
        subprocess.run([WINESERVER32, "--version"], check=True, capture_output=True, timeout=60)
    except FileNotFoundError:
        return "no 32-bit Wine (apt-get install wine32:i386, as tools/setup.sh does)"
    except (OSError, subprocess.CalledProcessError) as error:
        return (f"32-bit programs do not run here ({error}); tools/setup.sh registers qemu-i386 with "
                "binfmt_misc, as root, where binfmt_misc can be mounted")
    return None


def start32(_request):
    reason = why_no_32bit()
    if reason:
        pytest.skip(reason)
    return WineSession(env=ENV32).start()


wine_session, driver = module_wine(start32)


def run32(session, command):
    """Runs a 32-bit program to its end; its exit code."""
    # A shortcut linked into the Start menu would start winemenubuilder, which puts an entry into
    # this machine's own desktop menu.
    env = dict(session.env, WINEDLLOVERRIDES=session.env["WINEDLLOVERRIDES"] + ";winemenubuilder.exe=d")
    return subprocess.run([LOADER32] + command, env=env, timeout=SLOW_S, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode


def unix_path(session, windows_path):
    drive, *parts = PureWindowsPath(windows_path).parts
    assert drive.upper() == "C:\\"
    return session.prefix.joinpath("drive_c", *parts)


def text(value):
    assert value[0] == REG_SZ
    return value[1].rstrip(b"\0").decode("latin-1")


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.2)
    return predicate()


class Install:
    """What setup.exe /S has made, as its uninstall entry says."""

    def __init__(self, session, driver):
        self.entry = {name: driver.reg_get("HKCU", UNINSTALL_KEY, name)
                      for name in driver.reg_values("HKCU", UNINSTALL_KEY) or []}
        self.location = text(self.entry["InstallLocation"])
        self.program = self.location + "\\Quillory.exe"
        self.folder = unix_path(session, self.location)
        self.users = session.prefix / "drive_c" / "users"

    def shortcuts(self):
        return list(self.users.glob(f"*/{START_MENU}/Quillory.lnk"))


@pytest.fixture(scope="module")
def installed(wine_session, driver):
    """setup.exe /S, once for the module."""
    if not SETUP:
        pytest.skip("no setup program: tools/build.sh makes it where makensis is installed (nsis)")
    assert run32(wine_session, [str(SETUP[-1]), "/S"]) == 0
    return Install(wine_session, driver)


@pytest.fixture
def release(quillory):
    def start(exe=RELEASE, **kwargs):
        app = quillory(exe=exe, loader=LOADER32, wait_main=False, **kwargs)
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


@native_only
def test_setup_installs_for_the_user_with_shortcut_and_uninstall_entry(installed, wine_session):
    location, program = installed.location, installed.program
    assert PureWindowsPath(location).parts[-3:] == ("Local", "Programs", "Quillory")
    assert (installed.folder / "Quillory.exe").read_bytes() == RELEASE.read_bytes()
    assert (installed.folder / "uninstall.exe").is_file()
    [shortcut] = installed.shortcuts()
    assert program.encode() in shortcut.read_bytes()
    kib = sum(f.stat().st_size for f in installed.folder.iterdir()) // 1024
    version = SETUP[-1].name.split("-")[1]
    assert installed.entry == {
        "DisplayName": sz("Quillory"), "DisplayVersion": sz(version), "Publisher": sz("Brannoch"),
        "DisplayIcon": sz(program + ",0"), "InstallLocation": sz(location),
        "UninstallString": sz(f'"{location}\\uninstall.exe" _?={location}'),
        "QuietUninstallString": sz(f'"{location}\\uninstall.exe" /S _?={location}'),
        "EstimatedSize": dword(kib), "NoModify": dword(1), "NoRepair": dword(1)}


@native_only
def test_installed_program_sends_the_stored_list_and_setup_replaces_it_while_it_runs(
        release, installed, wine_session, driver, ftp_server, workdir):
    report = bytes(range(256)) * 1200 + b"\r\n\x00\x1a"
    data = make_files(workdir / "data", {"report.doc": report})
    logs = make_files(workdir / "logs", {"a.log": b"A", "b.log": b"B" * 70000, "c.log": b"",
                                         "skip.txt": b"no"})
    entries = [wine_path(data / "report.doc"), wine_path(logs) + "\\*.log"]
    settings = {"server": ftp_server.address, "login": ftp_server.USER, "password": ftp_server.PASSWORD,
                "directory": "backup", "files": entries, "send_time": 23 * 3600 + 59 * 60 + 55, "autorun": 0}
    app = release(settings=settings, exe=installed.program)
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

    stored = app.settings()
    program = installed.folder / "Quillory.exe"
    # Marked from outside while it runs (Wine holds no lock a Linux writer sees), so the update is
    # seen to write the file: the new exe has the same bytes, and Wine may rewrite it in place.
    with program.open("ab") as marked:
        marked.write(b"stale copy")
    assert run32(wine_session, [str(SETUP[-1]), "/S"]) == 0
    assert app.wait_exit(timeout=SLOW_S) == 1  # the code of the tray's Shutdown
    assert program.read_bytes() == RELEASE.read_bytes()
    assert app.settings() == stored
    # The ended copy is started again, as at log-on; the uninstall below ends it.
    assert driver.call("wait-window", MAIN_CAPTION, SLOW_MS) == "1"


@native_only
def test_uninstall_removes_the_install_and_its_run_value_and_keeps_the_settings(installed, wine_session,
                                                                               driver):
    settings = encode_settings({"server": "ftp.example.com", "files": ["C:\\data\\a.txt"]})
    for name, value in settings.items():
        driver.reg_set("HKCU", SETTINGS_KEY, name, *value)
    # The program's own Run value, as the 32-bit program writes it, and one of a copy elsewhere.
    driver.reg_set("HKLM", RUN_KEY_32, "Quillory", *sz(installed.program + " RunHidden"))
    elsewhere = sz("C:\\Tools\\Quillory.exe RunHidden")
    driver.reg_set("HKCU", RUN_KEY, "Quillory", *elsewhere)
    shortcuts = installed.shortcuts()

    quiet = text(driver.reg_get("HKCU", UNINSTALL_KEY, "QuietUninstallString"))
    program, _, arguments = quiet[1:].partition('" ')
    assert run32(wine_session, [program] + arguments.split()) == 0
    assert driver.call("exists", MAIN_CAPTION) == "0"
    assert driver.reg_values("HKCU", UNINSTALL_KEY) is None
    assert driver.reg_get("HKLM", RUN_KEY_32, "Quillory") is None
    assert driver.reg_get("HKCU", RUN_KEY, "Quillory") == elsewhere
    driver.call("reg-delete-value", "HKCU", RUN_KEY, "Quillory")
    assert shortcuts and not any(s.exists() for s in shortcuts)
    assert not (installed.folder / "Quillory.exe").exists()
    # The uninstaller's own file goes once it has ended.
    assert wait_until(lambda: not installed.folder.exists(), timeout=SLOW_S)
    assert {name: driver.reg_get("HKCU", SETTINGS_KEY, name) for name in settings} == settings
