#!/usr/bin/python3
"""Upload speed and memory of the real program against vsftpd on loopback, beside curl and lftp.

One 1 GiB file and 1000 files of 10,000 bytes, each sent by "Test Settings" of Quillory.exe under
wine64 (one plain entry, then one `dir\\*` entry), by curl and by lftp. The program's time runs from
the click until its window answers again (the last byte on the server is shown too); the tools'
time is their whole process. curl sends the many files in one invocation with a brace list in -T,
which it sends one after another over one reused control connection (FTP still opens a data
connection per file); lftp uses `mput`, also sequential. Needs root, for vsftpd.

  /usr/bin/python3 tools/bench_transfer.py      (QUILLORY_BENCH_PREFIX: Wine prefix to use)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from quillory_e2e import (PROGRESS, SETTINGS_KEY, TEST_SETTINGS, TRAY_SHUTDOWN, Driver,  # noqa: E402
                          DriverError, QuilloryApp, encode_settings, wine_path)

BUILD = ROOT / "build" / "win64"
WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
PREFIX = Path(os.environ.get("QUILLORY_BENCH_PREFIX", "/tmp/quillory-bench-prefix"))
MIB = 1 << 20
BIG_SIZE = 1 << 30
WRITE_CHUNK = 16 * MIB
SMALL_COUNT = 1000
SMALL_SIZE = 10_000
POLL_SECONDS = 0.02
RUN_TIMEOUT_SECONDS = 900
IDLE_SETTLE_SECONDS = 3
# Targets: at least curl's throughput, many files within this factor of lftp, this much memory.
SMALL_FILES_FACTOR = 1.5
MEMORY_ALLOWANCE_MIB = 16


def make_data(tmp):
    big, small = tmp / "big", tmp / "small"
    big.mkdir(), small.mkdir()
    with open(big / "big.bin", "wb") as out:
        for _ in range(BIG_SIZE // WRITE_CHUNK):
            out.write(os.urandom(WRITE_CHUNK))
    for i in range(SMALL_COUNT):
        (small / f"f{i:04d}.bin").write_bytes(os.urandom(SMALL_SIZE))
    return big, small


def start_vsftpd():
    proc = subprocess.Popen([sys.executable, str(ROOT / "tests" / "servers" / "ftpservers.py"), "vsftpd"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    server = None
    for line in proc.stdout:
        fields = line.split()
        if fields[0] == "SERVER":
            server = SimpleNamespace(port=int(fields[2]), user=fields[3], password=fields[4],
                                     upload=Path(fields[5]), remote=fields[6], proc=proc)
        elif fields[0] in ("SKIP", "READY"):
            break
    if server is None:
        proc.stdin.close()
        raise SystemExit("vsftpd did not start: " + line.strip())
    return server


def arrived(upload, names, size):
    try:
        return all((upload / name).stat().st_size == size for name in names)
    except FileNotFoundError:
        return False


def clear(upload):
    for path in upload.iterdir():
        path.unlink()


def status_kib(pid, field):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    raise SystemExit(f"no {field} for process {pid}")


def program_pid():
    """The Wine process running Quillory.exe in this benchmark's prefix (others may run their own)."""
    own_prefix = f"\0WINEPREFIX={PREFIX}\0".encode()
    for entry in Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and b"Quillory.exe" in (entry / "cmdline").read_bytes() \
                    and own_prefix in b"\0" + (entry / "environ").read_bytes():
                return int(entry.name)
        except OSError:
            continue
    raise SystemExit("the program's process was not found")


def timed_tool(command, cwd, upload, names, size):
    os.sync()
    start = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    if not arrived(upload, names, size):
        raise SystemExit(f"{command[0]} did not deliver every file")
    clear(upload)
    return seconds


class RssSampler(threading.Thread):
    """The largest VmRSS seen, in case VmHWM could not be reset."""

    def __init__(self, pid):
        super().__init__()
        self.pid, self.peak, self.stop = pid, 0, threading.Event()

    def run(self):
        while not self.stop.wait(POLL_SECONDS):
            self.peak = max(self.peak, status_kib(self.pid, "VmRSS"))


def answers(app):
    try:
        app.call("progress", str(PROGRESS))
        return True
    except DriverError:
        return False


def wait_for(condition, app, start):
    """Seconds since start until condition holds."""
    while not condition():
        if not app.running() or time.monotonic() - start > RUN_TIMEOUT_SECONDS:
            raise SystemExit("the program's run did not complete")
        time.sleep(POLL_SECONDS)
    return time.monotonic() - start


def timed_program(session, driver, server, entry, names, size):
    """(seconds to the window answering again, seconds to the last byte, idle KiB, peak KiB)."""
    driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
    driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
    settings = {"server": f"127.0.0.1:{server.port}", "login": server.user, "password": server.password,
                "directory": server.remote, "autorun": 0, "files": [entry]}
    for name, (vtype, data) in encode_settings(settings).items():
        driver.call("reg-set", "HKCU", SETTINGS_KEY, name, str(vtype), data.hex())
    app = QuilloryApp(session, driver, BUILD / "Quillory.exe", [], str(server.upload.parent))
    app.wait_main()
    pid = program_pid()
    time.sleep(IDLE_SETTLE_SECONDS)
    idle = status_kib(pid, "VmRSS")
    Path(f"/proc/{pid}/clear_refs").write_text("5")  # VmHWM restarts from the idle size
    sampler = RssSampler(pid)
    sampler.start()
    os.sync()
    start = time.monotonic()
    app.click(TEST_SETTINGS)
    last_byte = wait_for(lambda: arrived(server.upload, names, size), app, start)
    seconds = wait_for(lambda: answers(app), app, start)  # the window thread is busy until the run ends
    sampler.stop.set()
    sampler.join()
    peak = max(idle, sampler.peak, status_kib(pid, "VmHWM"))
    app.command(TRAY_SHUTDOWN)
    app.wait_exit()
    clear(server.upload)
    return seconds, last_byte, idle, peak


def wine_session():
    read_fd, write_fd = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten",
                             "tcp"], pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_fd)
    with os.fdopen(read_fd) as pipe:
        display = ":" + pipe.readline().strip()
    env = dict(os.environ, DISPLAY=display, WINEPREFIX=str(PREFIX), WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    if not (PREFIX / "system.reg").exists():
        print("preparing a Wine prefix in", PREFIX, flush=True)
        subprocess.run([WINE, "wineboot", "-i"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return SimpleNamespace(wine=WINE, env=env, xvfb=xvfb)


def verdict(ok):
    return "PASS" if ok else "FAIL"


def main():
    tmp = Path(tempfile.mkdtemp(prefix="quillory-bench-"))
    session = server = driver = None
    try:
        print("writing 1 GiB and 1000 files of 10 kB in", tmp, flush=True)
        big, small = make_data(tmp)
        small_names = sorted(p.name for p in small.iterdir())
        server = start_vsftpd()
        url = f"ftp://127.0.0.1:{server.port}/{server.remote}/"
        login = f"{server.user}:{server.password}"
        lftp = ["lftp", "-u", login.replace(":", ","), "-p", str(server.port), "-e"]
        cases = [  # (what, tool, command or None for the program, data dir, names, size)
            ("1 GiB", "curl", ["curl", "-sS", "--user", login, "-T", "big.bin", url], big, ["big.bin"], BIG_SIZE),
            ("1 GiB", "lftp", lftp + [f"put big.bin -o {server.remote}/big.bin; quit", "127.0.0.1"], big,
             ["big.bin"], BIG_SIZE),
            ("1000 files", "curl", ["curl", "-sS", "--user", login, "-T", "{" + ",".join(small_names) + "}", url],
             small, small_names, SMALL_SIZE),
            ("1000 files", "lftp", lftp + [f"mput -O {server.remote} *; quit", "127.0.0.1"], small, small_names,
             SMALL_SIZE),
        ]
        times = {}
        for what, tool, command, cwd, names, size in cases:
            print(f"{what}: {tool}", flush=True)
            times[what, tool] = timed_tool(command, cwd, server.upload, names, size)
        session = wine_session()
        driver = Driver(session.wine, BUILD / "qdriver.exe", session.env)
        print("1 GiB: Quillory", flush=True)
        times["1 GiB", "Quillory"], big_last, idle, peak = timed_program(
            session, driver, server, wine_path(big / "big.bin"), ["big.bin"], BIG_SIZE)
        print("1000 files: Quillory", flush=True)
        times["1000 files", "Quillory"], small_last, _, _ = timed_program(
            session, driver, server, wine_path(small) + "\\*", small_names, SMALL_SIZE)
    finally:
        if driver:
            driver.close()
        if server:
            server.proc.stdin.close()
            server.proc.wait()
        if session:
            subprocess.run([shutil.which("wineserver") or "/usr/lib/wine/wineserver64", "-k"], env=session.env)
            session.xvfb.terminate()
        shutil.rmtree(tmp, ignore_errors=True)

    print(f"\n{'':12}{'':10}{'seconds':>10}{'MiB/s':>10}")
    for (what, tool), seconds in times.items():
        total = BIG_SIZE if what == "1 GiB" else SMALL_COUNT * SMALL_SIZE
        print(f"{what:12}{tool:10}{seconds:10.2f}{total / MIB / seconds:10.1f}")
    print(f"(Quillory's last byte on the server: 1 GiB {big_last:.2f} s, 1000 files {small_last:.2f} s)\n")
    speed = times["1 GiB", "curl"] / times["1 GiB", "Quillory"]
    print(f"1 GiB throughput Quillory/curl     {speed:6.2f}  (target >= 1.00)  {verdict(speed >= 1)}")
    many = times["1000 files", "Quillory"] / times["1000 files", "lftp"]
    print(f"1000 files time Quillory/lftp      {many:6.2f}  (target <= {SMALL_FILES_FACTOR:.2f})  "
          f"{verdict(many <= SMALL_FILES_FACTOR)}")
    growth = (peak - idle) / 1024
    print(f"1 GiB peak memory over idle, MiB   {growth:6.1f}  (target <= {MEMORY_ALLOWANCE_MIB})  "
          f"{verdict(growth <= MEMORY_ALLOWANCE_MIB)}   idle {idle / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB")
    return 0


if __name__ == "__main__":
    sys.exit(main())
