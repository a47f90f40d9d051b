#!/usr/bin/python3
"""A TLS server on 127.0.0.1 for the secure-channel tests, with a certificate that openssl makes.

Under Wine a test cannot read a Unix child's pipes, so the server connects back to the test on
--report-port and reports there, one line each:
  CA <base64 DER>        the test CA's certificate (with --ca only)
  FINGERPRINT <AA:BB..>  the server certificate's SHA-256, in openssl's words
  PORT <n>               where it listens for TLS
  SESSION new|reused     per connection, after its handshake
  CLOSE clean|unclean    per connection: ended by close_notify, or without one
  END fin|reset          after TAIL: how the client's socket ended after the close_notify
It stops when that connection closes, or after an hour at most.

On a TLS connection it first says "HELLO", in the same send as the last of its handshake, so the
client holds data beyond the handshake when that ends. Then it takes commands, one line each:
  SINK <n>    reads n bytes, answers "SHA256 <hex>" of them
  SOURCE <n>  answers "SHA256 <hex>", then sends n random bytes with that digest
  TAIL <n>    sends n bytes and nothing about them, as a server may send what a client never asked
              for (TLS 1.3 session tickets); then waits for the client's end of the connection
After the client's close_notify it sends its own.
"""

import argparse
import hashlib
import os
import select
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

LIFETIME_SECONDS = 3600
CHUNK = 1024 * 1024
OPENSSL = "/usr/bin/openssl"
SUBJECT = "/CN=localhost"
NAMES = "subjectAltName=DNS:localhost"


def openssl(*args, cwd):
    return subprocess.run(
        [OPENSSL, *args], cwd=cwd, check=True, capture_output=True, text=True
    ).stdout


def make_certificate(directory, with_ca):
    """Makes key.pem and cert.pem for localhost; returns the report lines about them."""
    new = ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2"]
    server = [*new, "-keyout", "key.pem", "-out", "cert.pem", "-subj", SUBJECT, "-addext", NAMES]
    lines = []
    if with_ca:
        openssl(*new, "-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Quillory Test CA",
                cwd=directory)
        openssl(*server, "-CA", "ca.pem", "-CAkey", "ca.key", "-addext",
                "extendedKeyUsage=serverAuth", cwd=directory)
        pem = open(os.path.join(directory, "ca.pem")).read()
        lines.append("CA " + "".join(pem.splitlines()[1:-1]))
    else:
        openssl(*server, cwd=directory)
    said = openssl("x509", "-in", "cert.pem", "-noout", "-fingerprint", "-sha256", cwd=directory)
    lines.append("FINGERPRINT " + said.strip().split("=", 1)[1])
    return lines


class Reporter:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.lock = threading.Lock()

    def say(self, line):
        with self.lock:
            try:
                self.sock.sendall((line + "\n").encode())
            except OSError:
                pass  # the test has ended: the main loop sees it and stops


class Connection:
    """TLS over memory buffers: that is how the greeting can leave with the handshake."""

    def __init__(self, sock, context):
        self.sock = sock
        self.incoming = ssl.MemoryBIO()
        self.outgoing = ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_side=True)

    def flush(self):
        data = self.outgoing.read()
        if data:
            self.sock.sendall(data)

    def run(self, step):
        while True:
            try:
                return step()
            except ssl.SSLWantReadError:
                self.flush()
                data = self.sock.recv(CHUNK)
                if data:
                    self.incoming.write(data)
                else:
                    self.incoming.write_eof()

    def handshake_and_greet(self):
        self.run(self.tls.do_handshake)
        self.tls.write(b"HELLO\n")
        self.flush()

    def recv(self, count):
        # b"" after close_notify; an end without one raises.
        return self.run(lambda: self.tls.read(count))

    def sendall(self, data):
        self.tls.write(data)
        self.flush()

    def read_line(self):
        line = b""
        while not line.endswith(b"\n"):
            piece = self.recv(1)
            if not piece:
                return None
            line += piece
        return line.decode().strip()

    def unwrap(self):
        self.run(self.tls.unwrap)
        self.flush()


def serve(sock, context, reporter):
    conn = Connection(sock, context)
    tail = False
    try:
        conn.handshake_and_greet()
        reporter.say("SESSION " + ("reused" if conn.tls.session_reused else "new"))
        while (command := conn.read_line()) is not None:
            verb, count = command.split()
            count = int(count)
            if verb == "SINK":
                digest = hashlib.sha256()
                while count > 0:
                    data = conn.recv(min(count, CHUNK))
                    if not data:
                        raise ConnectionError("ended inside the data")
                    digest.update(data)
                    count -= len(data)
                conn.sendall(("SHA256 " + digest.hexdigest() + "\n").encode())
            elif verb == "SOURCE":
                data = os.urandom(count)
                conn.sendall(("SHA256 " + hashlib.sha256(data).hexdigest() + "\n").encode())
                conn.sendall(data)
            elif verb == "TAIL":
                conn.sendall(os.urandom(count))
                tail = True
        reporter.say("CLOSE clean")
        conn.unwrap()
        if tail:
            try:
                ended = sock.recv(1) == b""
            except ConnectionResetError:
                ended = False
            reporter.say("END " + ("fin" if ended else "reset"))
    except (ssl.SSLError, OSError, ValueError) as e:
        reporter.say("CLOSE unclean " + type(e).__name__)
    finally:
        sock.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--report-port", type=int, required=True)
    parser.add_argument("--ca", action="store_true", help="sign the certificate with a test CA")
    args = parser.parse_args()
    threading.Timer(LIFETIME_SECONDS, lambda: os._exit(1)).start()
    reporter = Reporter(args.report_port)
    # Wine hands its own environment on; a Windows TEMP must not steer where the keys go.
    directory = tempfile.mkdtemp(dir="/tmp")
    try:
        for line in make_certificate(directory, args.ca):
            reporter.say(line)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(os.path.join(directory, "cert.pem"),
                                os.path.join(directory, "key.pem"))
    finally:
        shutil.rmtree(directory)
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    reporter.say("PORT %d" % listener.getsockname()[1])
    while True:
        ready, _, _ = select.select([listener, reporter.sock], [], [])
        if reporter.sock in ready:
            break
        sock, _ = listener.accept()
        threading.Thread(target=serve, args=(sock, context, reporter), daemon=True).start()
    os._exit(0)


if __name__ == "__main__":
    sys.exit(main())
