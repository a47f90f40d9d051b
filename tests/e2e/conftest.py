"""End-to-end harness: the real Quillory.exe under wine64 in Xvfb, driven from outside.

One throwaway WINEPREFIX and one X server per test session (wineboot is slow); every test gets a
clean settings key, its own FTP server and its own directories.
"""

import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from quillory_e2e import Driver, QuilloryApp, MAIN_CAPTION, SETTINGS_KEY, encode_settings
from wine_session import ARTIFACTS, ROOT, WineSession

BUILD = Path(os.environ.get("QUILLORY_BUILD", ROOT / "build" / "win64"))


@pytest.fixture(scope="session")
def wine_session():
    session = WineSession().start()
    yield session
    session.stop()


@pytest.fixture(scope="session")
def driver(wine_session):
    drv = Driver(wine_session.wine, BUILD / "qdriver.exe", wine_session.env)
    yield drv
    drv.close()


def module_wine(start):
    """A module's own wine_session and driver fixtures, `wine_session, driver = module_wine(start)`,
    for the two modules the session-wide Wine cannot serve: the NAT module's Wine must start inside
    its network namespace (a process never changes namespace, and the one wineserver of a prefix
    would be the session's), the 32-bit module's under the 32-bit loader with a prefix and
    environment of its own. start(request) makes the session, or skips."""

    @pytest.fixture(scope="module", name="wine_session")
    def session_fixture(request):
        session = start(request)
        yield session
        session.stop()

    @pytest.fixture(scope="module", name="driver")
    def driver_fixture(wine_session):
        # The 64-bit driver reaches a 32-bit program's windows through the same wineserver.
        drv = Driver(wine_session.wine, BUILD / "qdriver.exe", wine_session.env)
        yield drv
        drv.close()

    return session_fixture, driver_fixture


class FtpServer:
    """pyftpdlib on loopback, in a thread, serving one user's home directory."""

    USER = "backup"
    PASSWORD = "s3cret"

    def __init__(self, root):
        from pyftpdlib.authorizers import DummyAuthorizer
        from pyftpdlib.handlers import FTPHandler
        from pyftpdlib.ioloop import IOLoop
        from pyftpdlib.servers import ThreadedFTPServer

        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        authorizer = DummyAuthorizer()
        authorizer.add_user(self.USER, self.PASSWORD, str(self.root), perm="elradfmwMT")
        handler = type("Handler", (FTPHandler,), {})
        handler.authorizer = authorizer
        handler.permit_foreign_addresses = False
        handler.timeout = 120
        self.commands = []
        commands = self.commands

        def on_file_received(_handler, path):
            commands.append(("received", path, time.time()))

        handler.on_file_received = on_file_received

        def pre_process_command(handler_self, line, cmd, arg):
            commands.append(("command", cmd, time.time()))
            return FTPHandler.pre_process_command(handler_self, line, cmd, arg)

        handler.pre_process_command = pre_process_command
        # A loop of its own: the library's shared default loop is gone once one server is closed.
        self.server = ThreadedFTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())
        self.port = self.server.socket.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def files(self, sub=""):
        """Relative path -> bytes of every file under the root (or a sub-directory)."""
        base = self.root / sub
        return {str(p.relative_to(base)): p.read_bytes() for p in sorted(base.rglob("*")) if p.is_file()}

    def serve(self):
        # The loop is not thread-safe: it is run, and closed, on this thread only.
        while not self.stopping.is_set():
            self.server.serve_forever(timeout=0.1, blocking=False)
        self.server.close_all()

    def stop(self):
        self.stopping.set()
        self.thread.join(timeout=10)


class ServerProcess:
    """One of the daemons of tests/servers/ftpservers.py (vsftpd, proftpd, pure-ftpd, pyftpdlib),
    in a process of its own; with tls=(cert, key) it requires TLS on every connection."""

    SCRIPT = ROOT / "tests" / "servers" / "ftpservers.py"

    def __init__(self, name, tls=None, port=None, log_name=None):
        self.log_name = log_name
        command = [sys.executable, str(self.SCRIPT), name]
        if tls:
            command += ["--tls", str(tls[0]), str(tls[1])]
        if port:
            command += ["--port", str(port)]
        self.name = name
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        fields = self.proc.stdout.readline().split()
        self.proc.stdout.readline()  # READY
        if fields[:1] != ["SERVER"]:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
            pytest.skip(f"{name} cannot run here: {' '.join(fields[2:])}")
        port, self.USER, self.PASSWORD, upload, self.directory = fields[2:7]
        self.port = int(port)
        self.upload = Path(upload)
        self.base = self.upload.parents[1]  # where the harness keeps this server's files and logs

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    def files(self):
        """Relative path -> bytes of every file in the upload directory."""
        return {str(p.relative_to(self.upload)): p.read_bytes()
                for p in sorted(self.upload.rglob("*")) if p.is_file()}

    def log(self):
        return "".join(p.read_text(errors="replace") for p in sorted(self.base.glob("*.log")))

    def stop(self):
        """Stops the server (once). The harness removes its logs with it: with a log_name, they
        are kept among the artefacts first."""
        if self.proc.stdin.closed:
            return
        if self.log_name and self.proc.poll() is None:
            ARTIFACTS.mkdir(parents=True, exist_ok=True)
            (ARTIFACTS / (re.sub(r"[^\w.-]+", "_", self.log_name) + ".log")).write_text(self.log())
        self.proc.stdin.close()
        self.proc.wait(timeout=30)


@pytest.fixture
def ftp_servers(request):
    """Factory: ftp_servers(name, tls=(cert, key), port=None) -> a started ServerProcess, stopped
    after the test with its logs kept as artefacts."""
    started = []

    def start(name, tls=None, port=None):
        server = ServerProcess(name, tls, port, f"{request.node.name}-{len(started)}-{name}")
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def workdir(tmp_path):
    """A per-test directory the program can see (Wine maps / to Z:)."""
    return tmp_path


@pytest.fixture
def ftp_server(tmp_path):
    server = FtpServer(tmp_path / "ftp-root")
    yield server
    server.stop()


@pytest.fixture
def quillory(wine_session, driver, request):
    """Factory: quillory(settings=..., first_run=False, args=[], cwd=None, exe=None, env=None,
    loader=None)."""
    apps = []
    driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)

    def start(settings=None, first_run=False, args=(), cwd=None, exe=None, wait_main=True, env=None,
              keep=False, loader=None):
        """keep=True starts the program again on whatever the key holds now."""
        # A window of an earlier test's copy would make this start a second copy, which ends at once.
        if not any(app.running() for app in apps):
            assert driver.call("wait-gone", MAIN_CAPTION, "15000") == "1", "an earlier copy still runs"
        if not keep:
            driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
        if not first_run and not keep:
            driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
            for name, (vtype, data) in encode_settings(settings or {}).items():
                driver.call("reg-set", "HKCU", SETTINGS_KEY, name, str(vtype), data.hex())
        app = QuilloryApp(wine_session, driver, exe or (BUILD / "Quillory.exe"), list(args), cwd, env,
                          loader)
        apps.append(app)
        if wait_main:
            app.wait_main()
            assert app.running(), "the program ended at once, as a second copy does"
        return app

    yield start
    for app in apps:
        app.kill()
    # Leave no window of this test behind for the next one.
    driver.call("wait-gone", MAIN_CAPTION, "5000")
