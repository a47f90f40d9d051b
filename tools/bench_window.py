#!/usr/bin/python3
"""How the window answers during a run, and how fast Stop ends one: a report, not a test.

The real program (build/win64/Quillory.exe under wine64, on an Xvfb display of its own) sends one
file of 20 MB by "Test Settings" to pyftpdlib on loopback, whose data connections read about
256 KiB/s (its throttled handler). While the file goes out, the driver asks the window to answer
WM_NULL (SendMessageTimeout) every 100 ms and notes the longest wait; after a while it presses Stop
and times the run's end (the box saying the backup was stopped, the run's last act). Each
figure is the worst of --repeats runs.

  /usr/bin/python3 tools/bench_window.py [--exe PATH] [--repeats N] [--seconds S]

QUILLORY_BENCH_PREFIX names the Wine prefix (made on first use; default /tmp/quillory-bench-prefix).
"""
import argparse
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
from quillory_e2e import (SETTINGS_KEY, TEST_SETTINGS, TRAY_SHUTDOWN, Driver,  # noqa: E402
                          QuilloryApp, encode_settings, wine_path)
from wine_session import WineSession  # noqa: E402

PREFIX = Path(os.environ.get("QUILLORY_BENCH_PREFIX", "/tmp/quillory-bench-prefix"))
FILE_BYTES = 20 * 1000 * 1000
READ_BYTES_PER_SECOND = 256 * 1024
ANSWER_LIMIT_MS = 5000
POLL_SECONDS = 0.1
ANSWER_TARGET_MS, STOP_TARGET_S = 250, 1.0


def start_server(root):
    """pyftpdlib on 127.0.0.1 whose data connections read at READ_BYTES_PER_SECOND."""
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
    from pyftpdlib.ioloop import IOLoop
    from pyftpdlib.servers import ThreadedFTPServer

    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)

    authorizer = DummyAuthorizer()
    authorizer.add_user("bench", "bench", str(root), perm="elradfmwMT")

    class SlowDtp(ThrottledDTPHandler):
        read_limit = READ_BYTES_PER_SECOND

    handler = type("Handler", (FTPHandler,), {"authorizer": authorizer, "dtp_handler": SlowDtp})
    server = ThreadedFTPServer(("127.0.0.1", 0), handler, ioloop=IOLoop())
    stopping = threading.Event()

    def serve():
        while not stopping.is_set():
            server.serve_forever(timeout=0.1, blocking=False)
        server.close_all()

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    return server.socket.getsockname()[1], lambda: (stopping.set(), thread.join(timeout=10))


def one_run(app, seconds):
    """Longest answer in ms while the file goes out for `seconds`, then seconds from Stop to the end."""
    app.click(TEST_SETTINGS)
    longest = 0
    deadline = time.monotonic() + 30
    while app.text(TEST_SETTINGS) != "Stop":
        if time.monotonic() > deadline:
            raise SystemExit("the run did not start")
        time.sleep(POLL_SECONDS)
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        answered = app.answer_ms(ANSWER_LIMIT_MS)
        longest = max(longest, answered if answered >= 0 else ANSWER_LIMIT_MS)
        time.sleep(POLL_SECONDS)
    start = time.monotonic()
    app.click(TEST_SETTINGS)
    app.message_box(timeout=30)  # the run's last act: the box saying it was stopped
    stopped = time.monotonic() - start
    app.answer("ok")
    while app.text(TEST_SETTINGS) != "Test Settings":
        time.sleep(POLL_SECONDS)
    return longest, stopped


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", type=Path, default=ROOT / "build" / "win64" / "Quillory.exe")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=8.0, help="how long the file goes out before Stop")
    args = parser.parse_args()
    tmp = Path(tempfile.mkdtemp(prefix="quillory-bench-window-"))
    stop_server, session, driver, app = None, None, None, None
    try:
        (tmp / "root").mkdir()
        data = tmp / "big.bin"
        data.write_bytes(os.urandom(FILE_BYTES))
        port, stop_server = start_server(tmp / "root")
        print(f"20 MB to pyftpdlib reading {READ_BYTES_PER_SECOND // 1024} KiB/s; "
              f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}", flush=True)
        session = WineSession(prefix=PREFIX).start()
        driver = Driver(session.wine, args.exe.with_name("qdriver.exe"), session.env)
        driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
        driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
        settings = {"server": f"ftp://127.0.0.1:{port}", "login": "bench", "password": "bench",
                    "directory": "", "autorun": 0, "files": [wine_path(data)]}
        for name, (vtype, value) in encode_settings(settings).items():
            driver.call("reg-set", "HKCU", SETTINGS_KEY, name, str(vtype), value.hex())
        app = QuilloryApp(session, driver, args.exe, [], str(tmp))
        app.wait_main()
        results = []
        for run in range(args.repeats):
            longest, stopped = one_run(app, args.seconds)
            print(f"run {run + 1}: longest answer {longest} ms, Stop to end {stopped:.2f} s", flush=True)
            results.append((longest, stopped))
        worst_answer = max(r[0] for r in results)
        worst_stop = max(r[1] for r in results)
        print()
        for name, value, target, unit in (("longest answer to WM_NULL", worst_answer, ANSWER_TARGET_MS, "ms"),
                                          ("Stop to the end of the run", worst_stop, STOP_TARGET_S, "s")):
            print(f"{name:32}{value:8.2f} {unit}  (target < {target} {unit})  "
                  f"{'PASS' if value < target else 'FAIL'}")
    finally:
        if app and app.running():
            app.command(TRAY_SHUTDOWN)
            try:
                app.wait_exit(timeout=15)
            except Exception:  # noqa: BLE001 - the report is printed; a stuck program is killed
                app.kill()
        if driver:
            driver.close()
        if session:
            session.stop()
        if stop_server:
            stop_server()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
