#!/usr/bin/python3
"""A link at internet distance, made of three network namespaces: client, router and server.

The router forwards between its two veths, but not directly: a policy rule sends every packet
that comes in on either veth into a TUN device, where a small forwarder (this file, run with
--forward) reads it and writes it into a second TUN device half a round trip later; from there
the kernel routes it on as usual. tbf on the router's server-side veth holds the uplink to a rate.
The kernel has no netem here, but it has TUN, tbf and policy routing, which is all this needs.

Used by tools/bench_transfer.py --rtt:

    with DelayLine(rtt_ms=40, rate="20mbit") as line:
        with line.inside("server"):
            ...  # processes started here live in the server namespace
        line.enter("client")  # this thread, and all it starts from now on, in the client's

Everything is removed when the block ends, however it ends.
"""
import argparse
import collections
import contextlib
import ctypes
import fcntl
import os
import select
import struct
import subprocess
import sys
import time
from pathlib import Path

CLIENT_IP, LAN_IP, WAN_IP, SERVER_IP = "192.168.78.2", "192.168.78.1", "203.0.113.1", "203.0.113.10"
DELAY_IN, DELAY_OUT = "dly0", "dly1"
DELAY_TABLE = "100"
# tbf's queue: about one round trip of a 20 Mbit/s link at 40 ms, so TCP finds the rate rather than
# a wall of drops, and no deeper, so the queue adds no second round trip of its own.
TBF_BURST, TBF_LATENCY = "32kb", "50ms"
CLONE_NEWNET = 0x40000000
TUNSETIFF, IFF_TUN, IFF_NO_PI = 0x400454CA, 0x0001, 0x1000
READY_TIMEOUT_SECONDS = 10


def set_netns(fd):
    """Moves this thread, and so every process it starts from now on, into a network namespace."""
    if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


def run(*command, ns=None, **kwargs):
    prefix = ["ip", "netns", "exec", ns] if ns else []
    result = subprocess.run(prefix + list(command), capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)}: {result.stderr.strip()}")
    return result


class DelayLine:
    def __init__(self, rtt_ms, rate=None):
        self.rtt_ms, self.rate = rtt_ms, rate
        self.names = {role: f"quillory-delay-{os.getpid()}-{role}" for role in ("client", "router", "server")}
        self.made, self.forwarder, self.home = [], None, None

    def __enter__(self):
        self.home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            self._build()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def _build(self):
        client, router, server = (self.names[r] for r in ("client", "router", "server"))
        for ns in (client, router, server):
            run("ip", "netns", "add", ns)
            self.made.append(ns)
            run("ip", "-n", ns, "link", "set", "lo", "up")
        run("ip", "link", "add", "lan0", "netns", client, "type", "veth", "peer", "name", "lan", "netns", router)
        run("ip", "link", "add", "wan0", "netns", server, "type", "veth", "peer", "name", "wan", "netns", router)
        for ns, device, address in ((client, "lan0", CLIENT_IP), (router, "lan", LAN_IP),
                                    (router, "wan", WAN_IP), (server, "wan0", SERVER_IP)):
            run("ip", "-n", ns, "addr", "add", address + "/24", "dev", device)
            run("ip", "-n", ns, "link", "set", device, "up")
        run("ip", "-n", client, "route", "add", "default", "via", LAN_IP)
        run("ip", "-n", server, "route", "add", "default", "via", WAN_IP)
        # Packets come back into the router on the second TUN device, which is no way to their
        # sender: reverse-path filtering would drop every one of them.
        for key in ("net.ipv4.ip_forward=1", "net.ipv4.conf.all.rp_filter=0", "net.ipv4.conf.default.rp_filter=0"):
            run("sysctl", "-qw", key, ns=router)
        for device in (DELAY_IN, DELAY_OUT):
            run("ip", "-n", router, "tuntap", "add", "dev", device, "mode", "tun")
            run("ip", "-n", router, "link", "set", device, "up")
        run("ip", "-n", router, "route", "add", "default", "dev", DELAY_IN, "table", DELAY_TABLE)
        for device in ("lan", "wan"):
            run("ip", "-n", router, "rule", "add", "iif", device, "lookup", DELAY_TABLE)
        if self.rate:
            run("ip", "netns", "exec", router, "tc", "qdisc", "add", "dev", "wan", "root", "tbf",
                "rate", self.rate, "burst", TBF_BURST, "latency", TBF_LATENCY)
        self.forwarder = subprocess.Popen(
            ["ip", "netns", "exec", router, sys.executable, str(Path(__file__).resolve()), "--forward",
             DELAY_IN, DELAY_OUT, str(self.rtt_ms / 2000)], stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.forwarder.stdout], [], [], READY_TIMEOUT_SECONDS)
        if not ready or self.forwarder.stdout.readline().strip() != "READY":
            raise RuntimeError("the delay line's forwarder did not start")
        self._check()

    def _check(self):
        """One connection attempt across, refused by the server: the way works, and the refusal
        comes back no sooner than the delay allows."""
        probe = ("import socket, sys, time\n"
                 "start = time.monotonic()\n"
                 "try:\n    socket.create_connection((sys.argv[1], 9), 5)\nexcept ConnectionRefusedError:\n"
                 "    print((time.monotonic() - start) * 1000)\n")
        result = run(sys.executable, "-c", probe, SERVER_IP, ns=self.names["client"])
        if not result.stdout.strip():
            raise RuntimeError("the delay line carries nothing: " + result.stderr.strip())
        self.measured_rtt_ms = rtt = float(result.stdout)
        if rtt < self.rtt_ms:
            raise RuntimeError(f"the delay line's round trip is {rtt:.1f} ms, below {self.rtt_ms} ms")

    def enter(self, role):
        fd = os.open(f"/run/netns/{self.names[role]}", os.O_RDONLY)
        try:
            set_netns(fd)
        finally:
            os.close(fd)

    @contextlib.contextmanager
    def inside(self, role):
        """This thread and what it starts, in a namespace for the block; afterwards back where it was."""
        was = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
        try:
            self.enter(role)
            yield
        finally:
            set_netns(was)
            os.close(was)

    def close(self):
        if self.home is not None:
            set_netns(self.home)
            os.close(self.home)
            self.home = None
        if self.forwarder:
            self.forwarder.terminate()
            try:
                self.forwarder.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.forwarder.kill()
                self.forwarder.wait()
            self.forwarder = None
        # The TUN devices, veths and rules go with their namespaces.
        for ns in reversed(self.made):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)
        self.made = []


def open_tun(name):
    fd = os.open("/dev/net/tun", os.O_RDWR)
    fcntl.ioctl(fd, TUNSETIFF, struct.pack("16sH", name.encode(), IFF_TUN | IFF_NO_PI))
    return fd


def forward(source_name, target_name, delay):
    """Every packet read from one TUN device is written into the other `delay` seconds later."""
    source, target = open_tun(source_name), open_tun(target_name)
    os.set_blocking(source, False)
    waiting = collections.deque()  # (due, packet); one fixed delay keeps it in order
    print("READY", flush=True)
    while True:
        timeout = max(0.0, waiting[0][0] - time.monotonic()) if waiting else None
        if select.select([source], [], [], timeout)[0]:
            now = time.monotonic()
            while True:
                try:
                    waiting.append((now + delay, os.read(source, 65536)))
                except BlockingIOError:
                    break
        now = time.monotonic()
        while waiting and waiting[0][0] <= now:
            try:
                os.write(target, waiting.popleft()[1])
            except OSError:
                pass  # a packet the kernel will not take is lost, as on any link


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--forward", nargs=3, metavar=("FROM", "TO", "SECONDS"), required=True)
    args = parser.parse_args()
    source, target, delay = args.forward
    try:
        forward(source, target, float(delay))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
