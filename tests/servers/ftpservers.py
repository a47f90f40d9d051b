#!/usr/bin/python3
"""Starts real FTP servers on 127.0.0.1 for the client tests, each on its own port and directory
(on $FTPSERVERS_ADDRESS instead where that is set, as in a test's own network namespace).

For every server it prints one line:
  SERVER <name> <port> <user> <password> <local upload dir> <remote upload dir>
or, when the server cannot run here:
  SKIP <name> <reason>
then "READY". The servers run until standard input closes; then they are stopped and their
directories removed. The server daemons need root (they switch users and change root).

  ftpservers.py [--tls CERT KEY] [--port N] [NAME ...]

starts the named servers (all when none are named). With --tls each of them requires explicit TLS
(AUTH TLS) with that certificate and key (PEM files) before login and on every data connection, and
never requires a data connection to resume the control connection's TLS session; vsftpd fails an
upload whose data connection ends without the client's close_notify. --port N puts the one named
server on port N, so that a test can start it again where a client knows it.

Servers that misbehave as someone on the path would make them, each pyftpdlib with --tls:
  pyftpdlib-other-data-certificate  data connections present a certificate of their own
  pyftpdlib-reply-behind-234        "230 Login successful." behind the 234 to AUTH TLS, in the clear
  pyftpdlib-clear-data              PROT P refused: data connections would stay in the clear
  pyftpdlib-no-auth                 AUTH TLS refused, logins taken in the clear: started on the port
                                    of a TLS server, it is that server once AUTH is hidden from it
"""

import functools
import os
import pwd
import grp
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

USER = "quill"
PASSWORD = "Backup-2-Test"
UPLOAD_DIR = "upload"
START_TIMEOUT_SECONDS = 15
STOP_TIMEOUT_SECONDS = 5

VSFTPD = "/usr/sbin/vsftpd"
PROFTPD = "/opt/ftpd/proftpd-core/usr/sbin/proftpd"
PUREFTPD = "/opt/ftpd/pure-ftpd/usr/sbin/pure-ftpd"
PURE_PW = "/opt/ftpd/pure-ftpd/usr/bin/pure-pw"
PROFTPD_MODULES = "/opt/ftpd/proftpd-core/usr/lib/proftpd"
VSFTPD_EMPTY_DIR = "/var/run/vsftpd/empty"
ALL_SERVERS = ["pyftpdlib", "vsftpd", "proftpd", "pureftpd", "vsftpd-passive"]
ADDRESS = os.environ.get("FTPSERVERS_ADDRESS", "127.0.0.1")


class Skip(Exception):
    pass


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind((ADDRESS, 0))
        return probe.getsockname()[1]


def wait_for_greeting(port, process, log_path):
    deadline = time.monotonic() + START_TIMEOUT_SECONDS
    while time.monotonic() < deadline:
        if process.poll() is not None:
            raise Skip("exited at start: " + tail(log_path))
        try:
            with socket.create_connection((ADDRESS, port), timeout=2) as probe:
                if probe.recv(512).startswith(b"220"):
                    return
        except OSError:
            time.sleep(0.1)
    raise Skip("no greeting within %d s: %s" % (START_TIMEOUT_SECONDS, tail(log_path)))


def tail(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as log:
            return " | ".join(log.read().strip().splitlines()[-3:]) or "(no output)"
    except OSError:
        return "(no output)"


def start_and_wait(command, port, log_path):
    log = open(log_path, "w")
    process = subprocess.Popen(
        command, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, start_new_session=True
    )
    try:
        wait_for_greeting(port, process, log_path)
    except Skip:
        stop(process)
        raise
    return process


def owned_dir(path, uid, gid):
    os.makedirs(path, exist_ok=True)
    os.chmod(path, 0o755)
    os.chown(path, uid, gid)
    return path


def password_hash(password):
    result = subprocess.run(
        ["openssl", "passwd", "-6", "-stdin"], input=password, text=True, capture_output=True, check=True
    )
    return result.stdout.strip()


def need_root():
    if os.geteuid() != 0:
        raise Skip("needs root")


def need_binary(path):
    if not os.access(path, os.X_OK):
        raise Skip(path + " is not installed")


def nobody_ids():
    return pwd.getpwnam("nobody").pw_uid, grp.getgrnam("nogroup").gr_gid


class Tls:
    """Where a server finds its certificate and key; None stands for plain FTP."""

    def __init__(self, cert, key):
        self.cert = os.path.abspath(cert)
        self.key = os.path.abspath(key)

    def copy_into(self, base):
        """The pair copied where the server may read them after it has dropped root."""
        for source, name in ((self.cert, "cert.pem"), (self.key, "key.pem")):
            shutil.copyfile(source, os.path.join(base, name))
            os.chmod(os.path.join(base, name), 0o600)
        return Tls(os.path.join(base, "cert.pem"), os.path.join(base, "key.pem"))


def run_pyftpdlib(base, port, tls=None, mode="plain"):
    try:
        import pyftpdlib  # noqa: F401
    except ImportError:
        raise Skip("python3-pyftpdlib is not installed")
    root = os.path.join(base, "root")
    os.makedirs(os.path.join(root, UPLOAD_DIR))
    log_path = os.path.join(base, "server.log")
    command = [sys.executable, os.path.abspath(__file__), "--serve-pyftpdlib", root, str(port), mode]
    if mode != "plain" and not tls:
        raise Skip("a mode of its TLS; start it with --tls")
    if tls:
        try:
            import OpenSSL  # noqa: F401
        except ImportError:
            raise Skip("python3-openssl (pyftpdlib's TLS) is not installed")
        command += [tls.cert, tls.key]
    process = start_and_wait(command, port, log_path)
    return process, USER, PASSWORD, os.path.join(root, UPLOAD_DIR)


def other_certificate(base):
    """A self-signed certificate for 127.0.0.1 that is not the server's: an (OpenSSL) context."""
    from OpenSSL import SSL

    cert, key = os.path.join(base, "other-cert.pem"), os.path.join(base, "other-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                    "-out", cert, "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"],
                   check=True, capture_output=True)
    context = SSL.Context(SSL.TLS_SERVER_METHOD)
    context.use_certificate_file(cert)
    context.use_privatekey_file(key)
    return context


def misbehaving(handler, mode, base):
    """The TLS handler class changed as a server (or someone in its place) of that mode acts."""
    from pyftpdlib.handlers import TLS_DTPHandler

    members = {}
    if mode == "other-data-certificate":
        context = other_certificate(base)
        members["dtp_handler"] = type("OtherCertificate", (TLS_DTPHandler,), {
            "secure_connection": lambda self, _context: TLS_DTPHandler.secure_connection(self, context)})
    elif mode == "reply-behind-234":
        def ftp_AUTH(self, line):
            # Both lines in one send, before the handshake starts.
            self.respond("234 AUTH TLS successful.\r\n230 Login successful.")
            self.secure_connection(self.ssl_context)
        members["ftp_AUTH"] = ftp_AUTH
    elif mode == "clear-data":
        members["ftp_PROT"] = lambda self, line: self.respond("534 Data connections stay in the clear.")
        members["tls_data_required"] = False
    elif mode == "no-auth":
        members["ftp_AUTH"] = lambda self, line: self.respond("502 Command not implemented.")
        members["tls_control_required"] = members["tls_data_required"] = False
    return type("Handler", (handler,), members)


def serve_pyftpdlib(root, port, mode="plain", cert=None, key=None):
    import logging
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    # With TLS, logins and transfers are logged, so a failed test shows how far the client got; a
    # misbehaving server logs every command, so a test sees what the client sent.
    logging.basicConfig(level=logging.DEBUG if mode != "plain" else logging.INFO if cert else logging.WARNING)
    authorizer = DummyAuthorizer()
    authorizer.add_user(USER, PASSWORD, root, perm="elradfmwMT")
    handler = FTPHandler
    if cert:
        from pyftpdlib.handlers import TLS_FTPHandler

        handler = TLS_FTPHandler
        handler.certfile = cert
        handler.keyfile = key
        handler.tls_control_required = True
        handler.tls_data_required = True
        if mode != "plain":
            handler = misbehaving(handler, mode, os.path.dirname(root))
    handler.authorizer = authorizer
    # Its default three-second pause after a refused login only slows the tests down.
    handler.auth_failed_timeout = 0.1
    server = FTPServer((ADDRESS, port), handler)
    server.serve_forever()


def run_vsftpd(base, port, tls=None, settings=()):
    need_binary(VSFTPD)
    need_root()
    try:
        ftp_user = pwd.getpwnam("ftp")
    except KeyError:
        raise Skip("the system user 'ftp' (made by the vsftpd package) is missing")
    os.makedirs(VSFTPD_EMPTY_DIR, exist_ok=True)
    # Anonymous uploads: vsftpd refuses a writable root, so the root is root's and the upload
    # directory the ftp user's.
    root = owned_dir(os.path.join(base, "root"), 0, 0)
    upload = owned_dir(os.path.join(root, UPLOAD_DIR), ftp_user.pw_uid, ftp_user.pw_gid)
    config = os.path.join(base, "vsftpd.conf")
    log_path = os.path.join(base, "server.log")
    with open(config, "w") as out:
        out.write(
            "\n".join(
                [
                    "listen=YES",
                    "listen_ipv6=NO",
                    "listen_address=" + ADDRESS,
                    "listen_port=%d" % port,
                    "background=NO",
                    "anonymous_enable=YES",
                    "local_enable=NO",
                    "write_enable=YES",
                    "anon_upload_enable=YES",
                    "anon_mkdir_write_enable=YES",
                    "anon_other_write_enable=YES",
                    "anon_umask=022",
                    "anon_root=" + root,
                    "no_anon_password=YES",
                    "ftp_username=ftp",
                    "connect_from_port_20=NO",
                    "port_enable=YES",
                    "seccomp_sandbox=NO",
                    "isolate=NO",
                    "isolate_network=NO",
                    "xferlog_enable=NO",
                    "secure_chroot_dir=" + VSFTPD_EMPTY_DIR,
                    "vsftpd_log_file=" + log_path,
                    *settings,
                    "",
                ]
            )
        )
        if tls:
            tls = tls.copy_into(base)
            out.write(
                "\n".join(
                    [
                        "ssl_enable=YES",
                        "allow_anon_ssl=YES",
                        "force_anon_logins_ssl=YES",
                        "force_anon_data_ssl=YES",
                        "force_local_logins_ssl=YES",
                        "force_local_data_ssl=YES",
                        "require_ssl_reuse=NO",
                        # An upload ends with the client's close_notify, or it failed.
                        "strict_ssl_read_eof=YES",
                        # Its default suite list is one that OpenSSL 3 no longer offers.
                        "ssl_ciphers=HIGH",
                        "rsa_cert_file=" + tls.cert,
                        "rsa_private_key_file=" + tls.key,
                        "xferlog_enable=YES",
                        "debug_ssl=YES",
                        "log_ftp_protocol=YES",
                        "",
                    ]
                )
            )
    os.chmod(config, 0o600)
    process = start_and_wait([VSFTPD, config], port, log_path)
    return process, "anonymous", "quill@localhost", upload


def run_proftpd(base, port, tls=None):
    need_binary(PROFTPD)
    need_root()
    uid, gid = nobody_ids()
    home = owned_dir(os.path.join(base, "home"), uid, gid)
    upload = owned_dir(os.path.join(home, UPLOAD_DIR), uid, gid)
    passwd = os.path.join(base, "ftpd.passwd")
    group = os.path.join(base, "ftpd.group")
    with open(passwd, "w") as out:
        out.write("%s:%s:%d:%d::%s:/bin/false\n" % (USER, password_hash(PASSWORD), uid, gid, home))
    with open(group, "w") as out:
        out.write("nogroup:x:%d:\n" % gid)
    os.chmod(passwd, 0o600)
    os.chmod(group, 0o600)
    log_path = os.path.join(base, "server.log")
    config = os.path.join(base, "proftpd.conf")
    with open(config, "w") as out:
        out.write(
            "\n".join(
                [
                    "ServerType standalone",
                    'ServerName "test"',
                    "DefaultServer on",
                    "UseIPv6 off",
                    "Port %d" % port,
                    "DefaultAddress " + ADDRESS,
                    "SocketBindTight on",
                    "User nobody",
                    "Group nogroup",
                    "PidFile " + os.path.join(base, "proftpd.pid"),
                    "ScoreboardFile " + os.path.join(base, "proftpd.scoreboard"),
                    "SystemLog " + log_path,
                    "TransferLog none",
                    "WtmpLog off",
                    "UseReverseDNS off",
                    "<IfModule mod_delay.c>",
                    "  DelayEngine off",
                    "</IfModule>",
                    "<IfModule mod_auth_pam.c>",
                    "  AuthPAM off",
                    "</IfModule>",
                    "<IfModule mod_ctrls.c>",
                    "  ControlsEngine off",
                    "</IfModule>",
                    "AuthOrder mod_auth_file.c",
                    "AuthUserFile " + passwd,
                    "AuthGroupFile " + group,
                    "RequireValidShell off",
                    "DefaultRoot ~",
                    "AllowOverwrite on",
                    "Umask 022",
                    "",
                ]
            )
        )
        if tls:
            if not os.path.exists(os.path.join(PROFTPD_MODULES, "mod_tls.so")):
                raise Skip("proftpd's mod_tls (package proftpd-mod-crypto) is not unpacked")
            tls = tls.copy_into(base)
            out.write(
                "\n".join(
                    [
                        "ModulePath " + PROFTPD_MODULES,
                        "LoadModule mod_tls.c",
                        "TLSEngine on",
                        "TLSLog " + os.path.join(base, "tls.log"),
                        "TLSProtocol TLSv1.2 TLSv1.3",
                        "TLSRSACertificateFile " + tls.cert,
                        "TLSRSACertificateKeyFile " + tls.key,
                        "TLSVerifyClient off",
                        # Both the control and every data connection.
                        "TLSRequired on",
                        "TLSOptions NoSessionReuseRequired",
                        "",
                    ]
                )
            )
    process = start_and_wait([PROFTPD, "--nodaemon", "-c", config], port, log_path)
    return process, USER, PASSWORD, upload


def run_pureftpd(base, port, tls=None):
    need_binary(PUREFTPD)
    need_binary(PURE_PW)
    need_root()
    uid, gid = nobody_ids()
    home = owned_dir(os.path.join(base, "home"), uid, gid)
    upload = owned_dir(os.path.join(home, UPLOAD_DIR), uid, gid)
    passwd = os.path.join(base, "pureftpd.passwd")
    database = os.path.join(base, "pureftpd.pdb")
    log_path = os.path.join(base, "server.log")
    subprocess.run(
        [PURE_PW, "useradd", USER, "-u", str(uid), "-g", str(gid), "-d", home, "-f", passwd],
        input="%s\n%s\n" % (PASSWORD, PASSWORD),
        text=True,
        check=True,
        capture_output=True,
    )
    subprocess.run([PURE_PW, "mkdb", database, "-f", passwd], check=True, capture_output=True)
    command = [PUREFTPD, "-S", "%s,%d" % (ADDRESS, port), "-l", "puredb:" + database, "-E", "-H", "-4"]
    if tls:
        tls = tls.copy_into(base)
        # 3: TLS before login, and on every data connection.
        command += ["--tls=3", "--certfile=%s,%s" % (tls.cert, tls.key)]
    process = start_and_wait(command, port, log_path)
    return process, USER, PASSWORD, upload


RUNNERS = {
    "pyftpdlib": run_pyftpdlib,
    "vsftpd": run_vsftpd,
    "proftpd": run_proftpd,
    "pureftpd": run_pureftpd,
    # Active mode switched off, as at many hosts.
    "vsftpd-passive": lambda base, port, *tls: run_vsftpd(base, port, *tls, settings=["port_enable=NO"]),
    # Two connections from one address at most, as at many hosts.
    "vsftpd-max2": lambda base, port, *tls: run_vsftpd(base, port, *tls, settings=["max_per_ip=2"]),
    # PORT taken for any address: behind NAT its connection goes nowhere instead of being refused.
    "vsftpd-promiscuous": lambda base, port, *tls: run_vsftpd(
        base, port, *tls, settings=["port_promiscuous=YES"]
    ),
}


for _mode in ("other-data-certificate", "reply-behind-234", "clear-data", "no-auth"):
    RUNNERS["pyftpdlib-" + _mode] = functools.partial(run_pyftpdlib, mode=_mode)


def stop(process):
    try:
        os.killpg(process.pid, signal.SIGTERM)
        process.wait(timeout=STOP_TIMEOUT_SECONDS)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
    except ProcessLookupError:
        pass


def main(names, tls=None, port=None):
    base = tempfile.mkdtemp(prefix="quillory-ftp-")
    # The daemons drop to other users, who must be able to reach their directories.
    os.chmod(base, 0o755)
    processes = []
    try:
        for name in names or ALL_SERVERS:
            server_dir = os.path.join(base, name)
            os.makedirs(server_dir)
            os.chmod(server_dir, 0o755)
            try:
                server_port = port or free_port()
                process, user, password, upload = RUNNERS[name](server_dir, server_port, tls)
                processes.append(process)
                print("SERVER %s %d %s %s %s %s" % (name, server_port, user, password, upload, UPLOAD_DIR), flush=True)
            except (Skip, subprocess.CalledProcessError, OSError) as reason:
                print("SKIP %s %s" % (name, str(reason).replace("\n", " ")), flush=True)
        print("READY", flush=True)
        sys.stdin.read()
    finally:
        for process in processes:
            stop(process)
        shutil.rmtree(base, ignore_errors=True)


def parse(args):
    import argparse

    parser = argparse.ArgumentParser()
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--port", type=int)
    parser.add_argument("names", nargs="*", metavar="NAME")
    options = parser.parse_args(args)
    unknown = sorted(set(options.names) - set(RUNNERS))
    if unknown:
        parser.error("unknown server: " + ", ".join(unknown))
    if options.port and len(options.names) != 1:
        parser.error("--port needs exactly one server name")
    return options


if __name__ == "__main__":
    if len(sys.argv) in (5, 7) and sys.argv[1] == "--serve-pyftpdlib":
        serve_pyftpdlib(sys.argv[2], int(sys.argv[3]), *sys.argv[4:])
    else:
        options = parse(sys.argv[1:])
        main(options.names, Tls(*options.tls) if options.tls else None, options.port)
