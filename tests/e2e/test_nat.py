"""Behind a home router: the program's whole Wine session (X server, wineserver, the program and the
driver) runs in a client network namespace whose one way out is a router namespace that masquerades
and lets nothing new in; the FTP servers run in a server namespace beyond it. There active mode
cannot work, whether the server refuses the client's private address or tries it in vain, and every
file must still arrive without a box. The namespaces are the test's own and go with it."""

import ctypes
import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

from conftest import module_wine
from quillory_e2e import wine_path
from test_transfer import make_files, run_test_settings
from wine_session import ROOT, WineSession

CLIENT, ROUTER, SERVER = (f"quillory-{os.getpid()}-{role}" for role in ("client", "router", "server"))
CLIENT_IP, LAN_IP, WAN_IP, SERVER_IP = "192.168.77.2", "192.168.77.1", "203.0.113.1", "203.0.113.10"
# What the inside opens, and the answers to it, pass; nothing else. No FTP helper is attached, so
# nothing rewrites a PORT command or opens the way for the server's connection back.
ROUTER_RULES = """
table ip home {
  chain forward {
    type filter hook forward priority filter; policy drop;
    ct state established,related accept
    iifname "lan" accept
  }
  chain postrouting {
    type nat hook postrouting priority srcnat;
    oifname "wan" masquerade
  }
}
"""
CLONE_NEWNET = 0x40000000


def run(*command, ns=None, **kwargs):
    prefix = ["ip", "netns", "exec", ns] if ns else []
    return subprocess.run(prefix + list(command), check=True, capture_output=True, text=True, **kwargs)


def set_netns(fd):
    """Moves this thread, and so every process it starts from now on, into a network namespace."""
    if ctypes.CDLL(None, use_errno=True).setns(fd, CLONE_NEWNET) != 0:
        raise OSError(ctypes.get_errno(), "setns")


def build_network():
    for ns in (ROUTER, SERVER):
        run("ip", "netns", "add", ns)
    for ns in (CLIENT, ROUTER, SERVER):
        run("ip", "-n", ns, "link", "set", "lo", "up")
    run("ip", "link", "add", "lan0", "netns", CLIENT, "type", "veth", "peer", "name", "lan", "netns", ROUTER)
    run("ip", "link", "add", "wan0", "netns", SERVER, "type", "veth", "peer", "name", "wan", "netns", ROUTER)
    for ns, device, address in ((CLIENT, "lan0", CLIENT_IP), (ROUTER, "lan", LAN_IP),
                                (ROUTER, "wan", WAN_IP), (SERVER, "wan0", SERVER_IP)):
        run("ip", "-n", ns, "addr", "add", address + "/24", "dev", device)
        run("ip", "-n", ns, "link", "set", device, "up")
    run("ip", "-n", CLIENT, "route", "add", "default", "via", LAN_IP)
    # The server has a way to the client: only the router's rules stop its connections.
    run("ip", "-n", SERVER, "route", "add", "default", "via", WAN_IP)
    run("sysctl", "-qw", "net.ipv4.ip_forward=1", ns=ROUTER)
    run("nft", "-f", "-", ns=ROUTER, input=ROUTER_RULES)


@pytest.fixture(scope="module")
def network():
    """Builds the three namespaces and moves the test into the client's until the module ends."""
    try:
        run("ip", "netns", "add", CLIENT)
    except (OSError, subprocess.CalledProcessError) as error:
        pytest.skip(f"network namespaces cannot be made here: {getattr(error, 'stderr', None) or error}")
    home = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    try:
        build_network()
        client = os.open(f"/run/netns/{CLIENT}", os.O_RDONLY)
        set_netns(client)
        os.close(client)
        try:
            # A listener in the client stays out of the server's reach.
            with socket.create_server((CLIENT_IP, 0)) as listener:
                probe = subprocess.run(
                    ["ip", "netns", "exec", SERVER, "/usr/bin/python3", "-c",
                     "import socket, sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 2)",
                     CLIENT_IP, str(listener.getsockname()[1])], capture_output=True, text=True)
            assert "timed out" in probe.stderr, probe.stderr
            yield
        finally:
            set_netns(home)
    finally:
        os.close(home)
        for ns in (CLIENT, ROUTER, SERVER):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def start_in_client(request):
    """A prefix and an X server of the module's own: started from the client namespace, Xvfb,
    wineserver and every Wine process live there."""
    request.getfixturevalue("network")
    return WineSession().start()


wine_session, driver = module_wine(start_in_client)


@pytest.fixture(params=[
    pytest.param("vsftpd", id="vsftpd-refuses-the-private-address"),
    pytest.param("pyftpdlib", id="pyftpdlib-refuses-the-private-address"),
    # Accepts the address and connects to it: the router drops that, and the program waits 10 s.
    pytest.param("vsftpd-promiscuous", id="vsftpd-connection-never-arrives"),
])
def server(request, network):
    """(address, user, password, local upload directory, remote one) of a server beyond the router."""
    proc = subprocess.Popen(["ip", "netns", "exec", SERVER, "/usr/bin/python3",
                             str(ROOT / "tests" / "servers" / "ftpservers.py"), request.param],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=dict(os.environ, FTPSERVERS_ADDRESS=SERVER_IP))
    try:
        fields = proc.stdout.readline().split()
        assert fields[:1] == ["SERVER"], fields
        port, user, password, upload, remote = fields[2:7]
        yield f"{SERVER_IP}:{port}", user, password, Path(upload), remote
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)


def test_every_file_arrives_without_a_box(quillory, server, workdir):
    address, user, password, upload, remote = server
    files = {"big.bin": os.urandom(3 * 1024 * 1024 + 7), "notes.txt": b"notes\r\n", "empty.log": b""}
    data = make_files(workdir / "data", files)
    app = quillory(settings={"server": address, "login": user, "password": password,
                             "directory": remote, "files": [wine_path(data) + "\\*"]})
    started = time.monotonic()
    run_test_settings(app, timeout=120)
    elapsed = time.monotonic() - started
    assert app.no_message_box()
    assert {p.name: p.read_bytes() for p in upload.iterdir()} == files
    # A user loses one 10 s wait and one reconnect at most, whatever the server did meanwhile.
    assert elapsed < 30
