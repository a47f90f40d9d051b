#!/usr/bin/env python3
"""A real backup with the real program: an FTP server on 127.0.0.1, a few files, the program under
wine64 with settings pointing at them, "Test Settings" pressed, and what arrived listed.

Runs on $DISPLAY when there is one, otherwise in Xvfb (a screenshot is kept in build/artifacts/).
"""
import logging
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from quillory_e2e import (MAIN_CAPTION, SETTINGS_KEY, TEST_SETTINGS, TRAY_SHUTDOWN, Driver,  # noqa: E402
                          QuilloryApp, encode_settings, wine_path)
from wine_session import WineSession  # noqa: E402

BUILD = ROOT / "build" / "win64"
PREFIX = Path(os.environ.get("QUILLORY_DEMO_PREFIX", Path.home() / ".cache" / "quillory-demo-prefix"))


def main():
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    tmp = Path(tempfile.mkdtemp(prefix="quillory-demo-"))
    server_root = tmp / "server"
    (server_root / "backup").mkdir(parents=True)
    files = tmp / "my documents"
    (files / "logs").mkdir(parents=True)
    (files / "report.doc").write_bytes(os.urandom(300_000))
    (files / "logs" / "monday.log").write_text("monday\n")
    (files / "logs" / "tuesday.log").write_text("tuesday\n")

    authorizer = DummyAuthorizer()
    authorizer.add_user("demo", "demo-password", str(server_root), perm="elradfmwMT")
    FTPHandler.authorizer = authorizer
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    server = FTPServer(("127.0.0.1", 0), FTPHandler)
    port = server.socket.getsockname()[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"FTP server on 127.0.0.1:{port}, serving {server_root}")

    print("Wine prefix:", PREFIX)
    session = WineSession(prefix=PREFIX, display=os.environ.get("DISPLAY")).start()
    driver = Driver(session.wine, BUILD / "qdriver.exe", session.env)
    try:
        driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
        driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
        settings = {"server": f"127.0.0.1:{port}", "login": "demo", "password": "demo-password",
                    "directory": "backup", "autorun": 0,
                    "files": [wine_path(files / "report.doc"), wine_path(files / "logs") + "\\*.log"]}
        for name, (vtype, data) in encode_settings(settings).items():
            driver.call("reg-set", "HKCU", SETTINGS_KEY, name, str(vtype), data.hex())
        app = QuilloryApp(session, driver, BUILD / "Quillory.exe", [], str(tmp))
        app.wait_main()
        print("Quillory is running; pressing Test Settings")
        app.click(TEST_SETTINGS)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and len(list((server_root / "backup").iterdir())) < 3:
            time.sleep(0.2)
        time.sleep(0.5)
        rect = tuple(int(v) for v in driver.call("rect", MAIN_CAPTION).split())
        print("screenshot:", session.screenshot("demo-main-window", rect))
        print("on the server now:")
        for path in sorted((server_root / "backup").iterdir()):
            print(f"  backup/{path.name}  {path.stat().st_size} bytes")
        ok = sorted(p.name for p in (server_root / "backup").iterdir()) == ["monday.log", "report.doc", "tuesday.log"]
        app.command(TRAY_SHUTDOWN)
        app.wait_exit()
        print("backup complete" if ok else "backup INCOMPLETE")
        return 0 if ok else 1
    finally:
        driver.close()
        session.stop()
        server.close_all()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
