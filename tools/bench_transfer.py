#!/usr/bin/python3
"""Upload speed and memory of the real program against vsftpd on loopback, beside curl and lftp.

A 1 GiB file and 1000 files of 10,000 bytes are sent by "Test Settings" of Quillory.exe under wine64
(one plain entry, then one `dir\\*` entry), by curl and by lftp. The program's time runs from the
click until the run ends ("Test Settings" again); the tools' time is their whole process; each is the best of
three, which the targets are checked on (the median is shown beside it). Before every click each
tool runs once, so that other work on the machine weighs on all alike; every run's time is printed,
with the load average. curl sends the many files from one invocation with a brace list in -T: one
after another over one reused control connection (FTP still opens a data connection per file). lftp
uses `mput`, also one at a time.
Run as root (vsftpd needs it):

  /usr/bin/python3 tools/bench_transfer.py [--mode active|passive|tls] [--only big|small]
                                           [--exe PATH] [--compare PATH] [--repeats N]
                                           [--rtt MS [--rate RATE]]

--mode active (the default): vsftpd as in the tests; the program uses active mode, lftp too
  (`ftp:passive-mode off`), curl its default, passive.
--mode passive: vsftpd with active mode switched off (port_enable=NO): the program's PORT is refused
  and it goes on in passive mode, as curl and lftp do from the start. The program's 1000 files are
  also timed against the plain server in active mode, in the same run, for comparison.
--mode tls: vsftpd that takes logins and data only over TLS (a self-signed certificate made with
  openssl; no session reuse required, as Wine never resumes a session); the program is given
  "ftpes://127.0.0.1:port" and trusts the certificate on first use; curl runs with --ssl-reqd -k,
  lftp with ftp:ssl-force and no certificate check.
--only big|small runs one of the two data sets. --exe is the program measured (default
build/win64/Quillory.exe; the driver, qdriver.exe, is taken from beside it, or from build/win64);
--compare times another build of it (an older commit's, say) the same way on the same server.
--repeats N: each time is the best of N runs (3 unless given).
--rtt MS: the server at internet distance instead of on loopback: vsftpd in a namespace of its own
  behind a delay line (tools/delay_line.py) with that round trip; the program's whole Wine session,
  curl and lftp run in the client's namespace. The data sets are then 32 MiB (against curl) and 200
  files of 10,000 bytes (against lftp `mput` and lftp `mirror -R --parallel=4`). --rate holds the
  uplink to a tc rate ("20mbit"); without it the link is as fast as the machine.
QUILLORY_BENCH_PREFIX names the Wine prefix (made on first use; default /tmp/quillory-bench-prefix, or
/tmp/quillory-bench-rtt-prefix with --rtt, whose wineserver must live in the client's namespace);
the program runs on an Xvfb display of its own.
Memory is the VmRSS of the program's process before the first click against its VmHWM, reset then.
"""
import argparse
import contextlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from types import SimpleNamespace

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from quillory_e2e import (SETTINGS_KEY, TEST_SETTINGS, TRAY_SHUTDOWN, Driver,  # noqa: E402
                          DriverError, QuilloryApp, encode_settings, wine_path)
from wine_session import WineSession  # noqa: E402
sys.path.insert(0, str(ROOT / "tests" / "servers"))
import ftpservers  # noqa: E402
sys.path.insert(0, str(ROOT / "tools"))
from delay_line import SERVER_IP, DelayLine  # noqa: E402

BUILD = ROOT / "build" / "win64"
MIB = 1 << 20
WRITE_CHUNK = 16 * MIB
SMALL_SIZE = 10_000
# (label, size) of the big file and (label, count) of the small files, on loopback and at distance.
DATA_SETS = {False: (("1 GiB", 1 << 30), ("1000 files", 1000)), True: (("32 MiB", 32 * MIB), ("200 files", 200))}
POLL_SECONDS, RUN_TIMEOUT_SECONDS, IDLE_SETTLE_SECONDS, BOX_LOOK_SECONDS = 0.02, 900, 3, 15
REPEATS = 3  # each time is the best of these, as other work on the machine only ever adds to it
MEMORY_ALLOWANCE_MIB = 16
# Targets. 1000 files on loopback: half as long again as lftp at most, safe replace and all (several
# connections at once make up for its round trips); against an older build, --compare allows a
# quarter more.
SMALL_FILES_FACTOR, RENAME_ALLOWANCE = 1.5, 1.25
BIG_SPEED_TARGET = {"active": 1.0, "passive": 1.0, "tls": 0.8}  # throughput against curl's
# At distance: many small files in a quarter of lftp's one-at-a-time time, a big one near the link's rate.
DISTANT_SMALL_FACTOR, DISTANT_BIG_SPEED = 0.25, 0.95
VSFTPD_SETTINGS = {"active": [], "passive": ["port_enable=NO"],
                   "tls": ["ssl_enable=YES", "allow_anon_ssl=YES", "force_anon_logins_ssl=YES",
                           "force_anon_data_ssl=YES", "force_local_logins_ssl=YES", "force_local_data_ssl=YES",
                           "require_ssl_reuse=NO", "ssl_ciphers=HIGH"]}
LFTP_SETTINGS = {"active": "set ftp:passive-mode off; ", "passive": "",
                 "tls": "set ftp:ssl-force true; set ftp:ssl-protect-data true; set ssl:verify-certificate no; "}


def make_data(tmp, only, big_size, small_count):
    big, small = tmp / "big", tmp / "small"
    big.mkdir()
    small.mkdir()
    if only != "small":
        with open(big / "big.bin", "wb") as out:
            for _ in range(big_size // WRITE_CHUNK):
                out.write(os.urandom(WRITE_CHUNK))
    if only != "big":
        for i in range(small_count):
            (small / f"f{i:04d}.bin").write_bytes(os.urandom(SMALL_SIZE))
    return big, small


def start_vsftpd(mode, address="127.0.0.1"):
    """vsftpd on a free port of address (in this thread's network namespace) in a directory of its
    own; with TLS, a certificate made for it."""
    ftpservers.ADDRESS = address
    base = Path(tempfile.mkdtemp(prefix="quillory-bench-ftp-"))
    base.chmod(0o755)  # the daemon drops to the ftp user, who must reach the upload directory
    settings = VSFTPD_SETTINGS[mode]
    if mode == "tls":
        cert, key = base / "cert.pem", base / "key.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
        settings = settings + [f"rsa_cert_file={cert}", f"rsa_private_key_file={key}"]
    port = ftpservers.free_port()
    try:
        proc, user, password, upload = ftpservers.run_vsftpd(str(base), port, settings=settings)
    except ftpservers.Skip as reason:
        shutil.rmtree(base, ignore_errors=True)
        raise SystemExit(f"vsftpd did not start: {reason}")
    scheme = "ftpes://" if mode == "tls" else ""
    return SimpleNamespace(port=port, user=user, password=password, upload=Path(upload), address=address,
                           remote=ftpservers.UPLOAD_DIR, proc=proc, base=base, field=f"{scheme}{address}:{port}")


def stop_vsftpd(server):
    ftpservers.stop(server.proc)
    shutil.rmtree(server.base, ignore_errors=True)


def arrived(upload, names, size):
    try:
        return all((upload / name).stat().st_size == size for name in names)
    except FileNotFoundError:
        return False


def clear(upload):
    for path in upload.iterdir():
        path.unlink()


def status_kib(pid, field):
    line = next(x for x in Path(f"/proc/{pid}/status").read_text().splitlines() if x.startswith(field + ":"))
    return int(line.split()[1])


def answers(app):
    """The run has ended: the button that reads "Stop" during a run reads "Test Settings" again."""
    try:
        return app.text(TEST_SETTINGS) == "Test Settings"
    except DriverError:
        return False


def wait_for(condition, app, start):
    look = start + BOX_LOOK_SECONDS  # a run this long may be one that stopped at a box: look, once a second
    while not condition():
        now = time.monotonic()
        if not app.running() or now - start > RUN_TIMEOUT_SECONDS:
            raise SystemExit("the program's run did not complete: " + (
                f"no end and no message box after {RUN_TIMEOUT_SECONDS} s" if app.running() else "it exited"))
        if now > look:
            look = now + 1
            try:
                box = app.message_box(timeout=0.001)[1]
            except DriverError:
                box = None
            if box is not None:
                raise SystemExit("the program's run stopped at a message box: " + box)
        time.sleep(POLL_SECONDS)
    return time.monotonic() - start


def report(label, runs):
    print(f"{label:36}" + " ".join(f"{t:7.2f}" for t in runs) + f"   (load {os.getloadavg()[0]:.2f})", flush=True)
    return min(runs), statistics.median(runs)


def timed_tool(command, cwd, server, names, size):
    os.sync()
    start = time.monotonic()
    subprocess.run(command, cwd=cwd, check=True, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - start
    if not arrived(server.upload, names, size):
        raise SystemExit(f"{command[0]} did not deliver every file")
    clear(server.upload)
    return seconds


class TimedProgram:
    """The program started with one entry; each run() is a click on "Test Settings" that returns the
    seconds until the window answers again and notes those until the last byte is on the server;
    close() leaves the size in KiB before the first click (idle) and at most over all runs (peak)."""

    def __init__(self, session, driver, exe, server, entry, names, size):
        driver.call("reg-delete-key", "HKCU", SETTINGS_KEY)
        driver.call("reg-create-key", "HKCU", SETTINGS_KEY)
        settings = {"server": server.field, "login": server.user, "password": server.password,
                    "directory": server.remote, "autorun": 0, "files": [entry]}
        for name, (vtype, data) in encode_settings(settings).items():
            driver.call("reg-set", "HKCU", SETTINGS_KEY, name, str(vtype), data.hex())
        self.app = QuilloryApp(session, driver, exe, [], str(server.upload.parent))
        self.app.wait_main()
        self.server, self.names, self.size, self.last_byte = server, names, size, RUN_TIMEOUT_SECONDS
        self.pid = self.app.proc.pid  # wine64 turns into the preloader that runs the program, in the same process
        if b"Quillory.exe" not in Path(f"/proc/{self.pid}/cmdline").read_bytes():
            raise SystemExit("the program's process was not found")
        time.sleep(IDLE_SETTLE_SECONDS)
        self.idle = status_kib(self.pid, "VmRSS")
        Path(f"/proc/{self.pid}/clear_refs").write_text("5")  # VmHWM restarts here, so it ends as the runs' peak

    def run(self):
        os.sync()
        start = time.monotonic()
        self.app.call("click-wait", str(TEST_SETTINGS))  # returns once the run has started
        arrival = wait_for(lambda: arrived(self.server.upload, self.names, self.size), self.app, start)
        self.last_byte = min(self.last_byte, arrival)
        # The button reads "Stop" while the run goes.
        seconds = wait_for(lambda: answers(self.app), self.app, start)
        clear(self.server.upload)
        return seconds

    def close(self):
        self.peak = status_kib(self.pid, "VmHWM")
        self.app.command(TRAY_SHUTDOWN)
        self.app.wait_exit()
        return self


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--mode", choices=("active", "passive", "tls"), default="active")
    parser.add_argument("--only", choices=("big", "small"))
    parser.add_argument("--exe", type=Path, default=BUILD / "Quillory.exe")
    parser.add_argument("--compare", type=Path, metavar="EXE")
    parser.add_argument("--repeats", type=int, default=REPEATS)
    parser.add_argument("--rtt", type=int, metavar="MS")
    parser.add_argument("--rate", metavar="RATE")
    args = parser.parse_args()
    if args.rate and not args.rtt:
        parser.error("--rate needs --rtt")
    return args


def tool_commands(server, mode, distant, big, names):
    """(name, command) of each tool timed beside the program on one data set."""
    url, login = f"ftp://{server.address}:{server.port}/{server.remote}/", f"{server.user}:{server.password}"
    curl = ["curl", "-sS", "--user", login] + (["--ssl-reqd", "-k"] if mode == "tls" else []) + ["-T"]

    def lftp(script):
        return ["lftp", "-u", f"{server.user},{server.password}", "-p", str(server.port), "-e",
                LFTP_SETTINGS[mode] + script + "; quit", server.address]

    if big:
        return (("curl", curl + ["big.bin", url]), ("lftp", lftp(f"put big.bin -o {server.remote}/big.bin")))
    if distant:
        return (("lftp mput", lftp(f"mput -O {server.remote} *")),
                ("lftp mirror -P4", lftp(f"mirror -R --no-perms --parallel=4 . {server.remote}")))
    # One curl invocation with a brace list: one file after another over one control connection.
    return (("curl", curl + ["{" + ",".join(names) + "}", url]), ("lftp", lftp(f"mput -O {server.remote} *")))


def main():
    args = parse_args()
    mode, distant = args.mode, bool(args.rtt)
    (big_label, big_size), (small_label, small_count) = DATA_SETS[distant]
    prefix = Path(os.environ.get("QUILLORY_BENCH_PREFIX",
                                 "/tmp/quillory-bench-rtt-prefix" if distant else "/tmp/quillory-bench-prefix"))
    driver_exe = args.exe.with_name("qdriver.exe")
    # A stop asked for from outside still removes the servers, Wine and the namespaces.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    tmp = Path(tempfile.mkdtemp(prefix="quillory-bench-"))
    servers, session, driver = [], None, None
    times, medians, runs = {}, {}, {}
    print(f"mode {mode}; {args.exe}" + (f" beside {args.compare}" if args.compare else "")
          + f"; load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}", flush=True)
    with contextlib.ExitStack() as stack:
        line = None
        if distant:
            line = stack.enter_context(DelayLine(args.rtt, args.rate))
            print(f"delay line: round trip {args.rtt} ms (a refused connection took {line.measured_rtt_ms:.1f} ms)"
                  + f", uplink {args.rate or 'unlimited'}", flush=True)

        def serve(server_mode):
            if not line:
                return start_vsftpd(server_mode)
            with line.inside("server"):
                return start_vsftpd(server_mode, SERVER_IP)

        try:
            print("writing the data in", tmp, flush=True)
            big, small = make_data(tmp, args.only, big_size, small_count)
            small_names = sorted(p.name for p in small.iterdir())
            server = serve(mode)
            servers.append(server)
            if line:
                line.enter("client")  # Wine, the program, curl and lftp: all on the client's side of the line
            programs = [("Quillory", args.exe, server)] + ([("compared", args.compare, server)] if args.compare else [])
            print("starting Xvfb and Wine (the prefix is made on first use)", flush=True)
            session = WineSession(prefix=prefix).start()
            driver = Driver(session.wine, driver_exe if driver_exe.exists() else BUILD / "qdriver.exe", session.env)
            # A crash ends the program, and so the benchmark, instead of leaving Wine's crash dialog up.
            driver.call("reg-set", "HKCU", r"Software\Wine\WineDbg", "ShowCrashDialog", "4", "00000000")
            for what, data, names, size, entry in (
                    (big_label, big, ["big.bin"], big_size, wine_path(big / "big.bin")),
                    (small_label, small, small_names, SMALL_SIZE, wine_path(small) + "\\*")):
                if args.only and what != {"big": big_label, "small": small_label}[args.only]:
                    continue
                tools = tool_commands(server, mode, distant, what == big_label, names)
                if mode == "passive" and what == small_label:
                    servers.append(serve("active"))
                    programs.append(("Quillory active", args.exe, servers[-1]))
                print(f"{what}: {', '.join(name for name, _, _ in programs)}; each run after "
                      + " and ".join(tool for tool, _ in tools), flush=True)
                measured = {}
                for name, exe, where in programs:
                    program = TimedProgram(session, driver, exe, where, entry, names, size)
                    for _ in range(args.repeats):  # in turn, so that other work on the machine hits each alike
                        for tool, command in tools:
                            measured.setdefault(tool, []).append(timed_tool(command, data, server, names, size))
                        measured.setdefault(name, []).append(program.run())
                    runs[what, name] = program.close()
                for name, seconds in measured.items():
                    times[what, name], medians[what, name] = report(f"{what}: {name}", seconds)
        finally:
            if driver:
                driver.close()
            if session:
                session.stop()
            for server in servers:
                stop_vsftpd(server)
            shutil.rmtree(tmp, ignore_errors=True)

    print(f"\n{'':28}{'seconds':>10}{'MiB/s':>10}{'median s':>10}")
    for what, total in ((big_label, big_size), (small_label, small_count * SMALL_SIZE)):
        for (measured, tool), seconds in times.items():
            if measured == what:
                print(f"{what:12}{tool:16}{seconds:10.2f}{total / MIB / seconds:10.1f}{medians[what, tool]:10.2f}")
        if (what, "Quillory") in runs:
            print(f"{'':12}(Quillory's last byte on the server after {runs[what, 'Quillory'].last_byte:.2f} s)")

    def verdict(name, value, target, at_least=False):
        ok = value >= target if at_least else value <= target
        print(f"{name:40}{value:6.2f}  (target {'>=' if at_least else '<='} {target:.2f})  {'PASS' if ok else 'FAIL'}")

    print()
    if (big_label, "Quillory") in runs:
        verdict(f"{big_label} throughput, Quillory/curl", times[big_label, "curl"] / times[big_label, "Quillory"],
                DISTANT_BIG_SPEED if distant else BIG_SPEED_TARGET[mode], at_least=True)
        if args.compare:
            print(f"{big_label + ' time, Quillory/compared':40}"
                  f"{times[big_label, 'Quillory'] / times[big_label, 'compared']:6.2f}")
        idle, peak = runs[big_label, "Quillory"].idle / 1024, runs[big_label, "Quillory"].peak / 1024
        verdict(f"{big_label} peak memory over idle, MiB", peak - idle, MEMORY_ALLOWANCE_MIB)
        print(f"{'':40}(idle {idle:.1f} MiB, peak {peak:.1f} MiB)")
    if (small_label, "Quillory") in runs:
        many = times[small_label, "Quillory"]
        if distant:
            verdict(f"{small_label} time, Quillory/lftp mput", many / times[small_label, "lftp mput"],
                    DISTANT_SMALL_FACTOR)
            print(f"{small_label + ' time, Quillory/lftp mirror -P4':40}"
                  f"{many / times[small_label, 'lftp mirror -P4']:6.2f}")
        elif mode == "active":
            verdict(f"{small_label} time, Quillory/lftp (active)", many / times[small_label, "lftp"],
                    SMALL_FILES_FACTOR)
        else:
            print(f"{small_label + ' time, Quillory/lftp':40}{many / times[small_label, 'lftp']:6.2f}")
        if args.compare:
            verdict(f"{small_label} time, Quillory/compared", many / times[small_label, "compared"],
                    RENAME_ALLOWANCE)
        if mode == "passive":
            verdict(f"{small_label} time, passive/active", many / times[small_label, "Quillory active"], 1.0)
    return 0


if __name__ == "__main__":
    sys.exit(main())
