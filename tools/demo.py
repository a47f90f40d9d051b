#!/usr/bin/env python3
"""A real backup with the real program: an FTP server on 127.0.0.1 that takes logins and files only
over TLS, a few files, the program under wine64 with settings pointing at them, "Test Settings"
pressed, and what arrived listed.

Runs on $DISPLAY when there is one, otherwise in Xvfb (a screenshot is kept in build/artifacts/).
"""
import logging
import os
import shutil
import subprocess
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
    from pyftpdlib.handlers import TLS_FTPHandler
    from pyftpdlib.servers import FTPServer

    tmp = Path(tempfile.mkdtemp(prefix="quillory-demo-"))
    server_root = tmp / "server"
    (server_root / "backup").mkdir(parents=True)
    files = tmp / "my documents"
    (files / "logs").mkdir(parents=True)
    (files / "report.doc").write_bytes(os.urandom(300_000))
    (files / "logs" / "monday.log").write_text("monday\n")
    (files / "logs" / "tuesday.log").write_text("tuesday\n")

    # A self-signed certificate, as a NAS box would have: the program trusts it on first use.
    cert = tmp / "server.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=127.0.0.1", "-keyout", str(cert), "-out", str(cert)],
                   check=True, capture_output=True)
    fingerprint = subprocess.run(["openssl", "x509", "-noout", "-fingerprint", "-sha256", "-in", str(cert)],
                                 check=True, capture_output=True, text=True).stdout.strip().split("=")[1]
    authorizer = DummyAuthorizer()
    authorizer.add_user("demo", "demo-password", str(server_root), perm="elradfmwMT")
    handler = type("Handler", (TLS_FTPHandler,), {})
    handler.authorizer = authorizer
    handler.certfile = str(cert)
    handler.tls_control_required = True  # no login in the clear
    handler.tls_data_required = True     # no file in the clear
    # A handler of our own keeps the server from setting up its chatty default log.
    logging.getLogger("pyftpdlib").addHandler(logging.NullHandler())
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)
    server = FTPServer(("127.0.0.1", 0), handler)
    port = server.socket.getsockname()[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"FTP server on 127.0.0.1:{port}, serving {server_root}; logins and files over TLS only")
    print(f"its certificate (self-signed), SHA-256 {fingerprint}")

    print("Wine prefix:", PREFIX)
    session = WineSession(prefix=PREFIX, display=os.environ.get("DISPLAY")).start()
    driver = Driver(session.wine, BUILD / "qdriver.exe", session.env)
    try:
        driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
        driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
        settings = {"server": f"ftpes://127.0.0.1:{port}", "login": "demo", "password": "demo-password",
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
        stored = driver.reg_get("HKCU", SETTINGS_KEY, "ServerCertificate")
        trusted = stored[1].rstrip(b"\0").decode() if stored else ""
        print("certificate the program trusted on first use:", trusted or "none")
        ok = ok and trusted.endswith(fingerprint)
        app.command(TRAY_SHUTDOWN)
        app.wait_exit()
        print("backup complete, over TLS" if ok else "backup INCOMPLETE")
        return 0 if ok else 1
    finally:
        driver.close()
        session.stop()
        server.close_all()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
