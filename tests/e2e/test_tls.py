"""Backups over explicit TLS to real servers that refuse anything in the clear, with certificates
made here: trusted on first use, changed, trusted by Windows; and servers without TLS."""

import ftplib
import io
import os
import ssl
import subprocess
import time
from collections import namedtuple

import pytest

from quillory_e2e import SERVER_EDIT, SETTINGS_KEY, TEST_SETTINGS, DriverError, wine_path
from test_transfer import make_files, run_test_settings

CHANGED = "The server's certificate has changed since the last backup."
NO_TLS = "does not offer encrypted connections"
STOPPED_TLS = "stopped offering encrypted connections"
REG_MULTI_SZ = 7

Certificate = namedtuple("Certificate", "cert key fingerprint")


def certificate(directory, host="127.0.0.1", ca=None):
    """A key and a certificate for host: self-signed, or signed by the Certificate ca."""
    directory.mkdir(parents=True)
    cert, key = directory / "cert.pem", directory / "key.pem"
    name = f"IP:{host}" if host[0].isdigit() else f"DNS:{host}"
    command = ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
               "-out", cert, "-subj", f"/CN={host}", "-addext", f"subjectAltName={name}"]
    if ca:
        command += ["-CA", ca.cert, "-CAkey", ca.key, "-addext", "basicConstraints=critical,CA:FALSE",
                    "-addext", "extendedKeyUsage=serverAuth"]
    subprocess.run(command, check=True, capture_output=True)
    said = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                          check=True, capture_output=True, text=True).stdout
    return Certificate(cert, key, said.strip().split("=", 1)[1])


def der(cert):
    return subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER"], check=True,
                          capture_output=True).stdout


def payload(workdir):
    """More than one TLS record's worth, every byte value, and a file with no bytes at all."""
    return make_files(workdir / "data", {"big.bin": os.urandom(3 * 1024 * 1024 + 17),
                                         "bytes.bin": bytes(range(256)) * 64, "empty.txt": b""})


def start(quillory, server, server_field, data):
    return quillory(settings={"server": server_field, "login": server.USER, "password": server.PASSWORD,
                              "directory": getattr(server, "directory", ""),
                              "files": [wine_path(data) + "\\*"]})


def sent(data):
    return {p.name: p.read_bytes() for p in data.iterdir()}


def stored_certificates(app):
    """Server -> (fingerprint, trusted by Windows) of every certificate the program remembers."""
    value = app.driver.reg_get("HKCU", SETTINGS_KEY, "ServerCertificate")
    if not value:
        return {}
    assert value[0] == REG_MULTI_SZ, value
    records = [text.split(" ") for text in value[1].decode("latin-1").split("\0") if text]
    return {words[0]: (words[1], words[2:] == ["trusted"]) for words in records}


def commands(server):
    """The commands a misbehaving (pyftpdlib) server of ftpservers.py received, in order."""
    return [line.split("<- ", 1)[1] for line in server.log().splitlines() if "<- " in line]


def assert_refuses_clear_text(server):
    """The server itself refuses a login in the clear and a data connection in the clear, so
    whatever reaches it came encrypted."""
    unverified = ssl.create_default_context()
    unverified.check_hostname = False
    unverified.verify_mode = ssl.CERT_NONE
    for client in (ftplib.FTP(timeout=10), ftplib.FTP_TLS(context=unverified, timeout=10)):
        with client, pytest.raises(ftplib.all_errors):
            client.connect("127.0.0.1", server.port)
            client.login(server.USER, server.PASSWORD)  # FTP_TLS: AUTH TLS, data stays clear
            client.storbinary(f"STOR {server.directory}/probe", io.BytesIO(b"clear"))
    for leftover in server.upload.iterdir():
        leftover.unlink()


# vsftpd-passive refuses PORT: its data connections are the program's passive ones.
@pytest.mark.parametrize("name, scheme", [("vsftpd", "ftpes://"), ("proftpd", ""), ("pureftpd", "ftpes://"),
                                          ("pyftpdlib", ""), ("vsftpd-passive", "")])
def test_self_signed_certificate_is_trusted_on_first_use(quillory, ftp_servers, workdir, name, scheme):
    mine = certificate(workdir / "cert")
    server = ftp_servers(name, tls=mine[:2])
    assert_refuses_clear_text(server)
    data = payload(workdir)
    app = start(quillory, server, scheme + server.address, data)
    run_test_settings(app)
    assert app.no_message_box()
    assert server.files() == sent(data)
    assert stored_certificates(app) == {server.address: (mine.fingerprint, False)}
    # The same certificate again: no question, and the backup goes through again.
    for path in server.upload.iterdir():
        path.unlink()
    run_test_settings(app)
    assert app.no_message_box()
    assert server.files() == sent(data)


def test_changed_certificate_is_asked_about_no_sends_nothing_late_yes_connects_anew(quillory, ftp_servers,
                                                                                    workdir):
    first, second, other = (certificate(workdir / name) for name in ("first", "second", "other"))
    server = ftp_servers("vsftpd", tls=first[:2])
    data = payload(workdir)
    app = start(quillory, server, server.address, data)
    run_test_settings(app)
    assert server.files() == sent(data)
    # A run against another server is remembered beside the first, not in its place.
    elsewhere = ftp_servers("vsftpd", tls=other[:2])
    app.set_text(SERVER_EDIT, elsewhere.address)
    run_test_settings(app)
    assert app.no_message_box() and elsewhere.files() == sent(data)
    assert stored_certificates(app) == {server.address: (first.fingerprint, False),
                                        elsewhere.address: (other.fingerprint, False)}
    app.set_text(SERVER_EDIT, server.address)
    server.stop()
    server = ftp_servers("vsftpd", tls=second[:2], port=server.port)

    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["yes", "no"] and text.startswith(CHANGED) and second.fingerprint in text, text
    assert "Windows trusted neither the earlier certificate nor this one" in text, text
    app.answer("no")
    assert app.no_message_box(wait=3)  # the answer ends the run
    assert server.files() == {}
    assert '"AUTH TLS"' in server.log() and '"USER' not in server.log() and '"PASS' not in server.log()
    assert stored_certificates(app)[server.address] == (first.fingerprint, False)

    # Answered after the server may have given up on the connection that waited: a new one.
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["yes", "no"] and second.fingerprint in text
    time.sleep(31)
    app.answer("yes")
    assert app.wait_until(lambda: server.files() == sent(data))
    assert app.no_message_box()
    log = server.log()
    # Two connections logged nothing in; the run's further connections took the accepted
    # certificate without a question, each over TLS.
    first_login = log.index('"USER')
    assert log[:first_login].count('"AUTH TLS"') == 3, log
    assert log.count('"AUTH TLS"') == log.count('"USER') + 2 and log.count('"USER') > 1, log
    assert stored_certificates(app) == {server.address: (second.fingerprint, False),
                                        elsewhere.address: (other.fingerprint, False)}


@pytest.mark.parametrize("scheme", ["", "ftp://", "ftpes://"])
def test_server_without_tls(quillory, ftp_server, workdir, scheme):
    data = make_files(workdir / "data", {"plain.txt": b"in the clear"})
    app = start(quillory, ftp_server, scheme + ftp_server.address, data)
    verbs = lambda: [c[1] for c in ftp_server.commands if c[0] == "command"]  # noqa: E731
    if scheme == "ftpes://":
        app.click(TEST_SETTINGS)
        buttons, text = app.message_box(timeout=30)
        assert buttons == ["ok"] and NO_TLS in text, text
        app.answer("ok")
        time.sleep(1)
        assert ftp_server.files() == {}
        assert "AUTH" in verbs() and "USER" not in verbs() and "PASS" not in verbs()
    else:
        run_test_settings(app)
        assert app.no_message_box()
        assert ftp_server.files() == {"plain.txt": b"in the clear"}
        # A bare host never seen with TLS asks for it and goes on without it; ftp:// never asks.
        assert ("AUTH" in verbs()) == (scheme == "")
    assert stored_certificates(app) == {}


def test_bare_host_seen_with_tls_gets_no_login_in_the_clear_once_auth_is_gone(quillory, ftp_servers, workdir):
    mine = certificate(workdir / "cert")
    server = ftp_servers("pyftpdlib", tls=mine[:2])
    data = make_files(workdir / "data", {"notes.txt": b"secret"})
    app = start(quillory, server, server.address, data)
    run_test_settings(app)
    assert app.no_message_box() and server.files() == sent(data)
    server.stop()
    server = ftp_servers("pyftpdlib-no-auth", tls=mine[:2], port=server.port)
    app.click(TEST_SETTINGS)
    buttons, text = app.message_box(timeout=30)
    assert buttons == ["ok"] and STOPPED_TLS in text, text
    app.answer("ok")
    assert commands(server) == ["AUTH TLS"] and server.files() == {}


@pytest.mark.parametrize("mode, said", [
    ("reply-behind-234", "before the connection was encrypted"),
    ("clear-data", "refused to encrypt"),
    ("other-data-certificate", "another certificate"),
])
def test_server_that_someone_on_the_path_could_fake_gets_no_file(quillory, ftp_servers, workdir, mode, said):
    mine = certificate(workdir / "cert")
    server = ftp_servers("pyftpdlib-" + mode, tls=mine[:2])
    # One file, so one connection: this server's loop can lose a second connection's PORT while it
    # tears down a data connection we broke off.
    data = make_files(workdir / "data", {"a.txt": b"first"})
    app = start(quillory, server, server.address, data)
    app.click(TEST_SETTINGS)
    try:
        buttons, text = app.message_box(timeout=30)
    except DriverError as error:
        raise AssertionError(f"{error}; the server logged:\n{server.log()[-4000:]}") from None
    assert buttons == ["ok"] and said in text, text
    app.answer("ok")
    assert app.no_message_box()
    verbs = [command.split(" ")[0] for command in commands(server)]
    if mode == "reply-behind-234":
        assert verbs == ["AUTH"]
    else:
        assert "USER" in verbs and "RNTO" not in verbs
        assert ("STOR" in verbs) == (mode == "other-data-certificate")
    assert {name: body for name, body in server.files().items() if not name.endswith(".partial")} == {}


def test_certificate_windows_trusts_is_remembered_renewed_silently_and_not_replaced_by_a_self_signed_one(
        quillory, ftp_servers, workdir, driver):
    ca = certificate(workdir / "ca", host="test-ca")
    mine = certificate(workdir / "cert", host="localhost", ca=ca)
    server = ftp_servers("proftpd", tls=mine[:2])
    field = f"localhost:{server.port}"
    data = payload(workdir)
    app = start(quillory, server, "ftpes://" + field, data)
    run_test_settings(app)
    assert app.no_message_box()
    assert server.files() == sent(data)
    assert stored_certificates(app) == {field: (mine.fingerprint, False)}, \
        "signed by a CA that is no trusted root, yet not pinned as untrusted"
    app.kill()

    root = driver.add_root_certificate(der(ca.cert))
    try:
        for path in server.upload.iterdir():
            path.unlink()
        app = start(quillory, server, field, data)  # a settings key anew
        run_test_settings(app)
        assert app.no_message_box()
        assert server.files() == sent(data)
        assert stored_certificates(app) == {field: (mine.fingerprint, True)}

        renewed = certificate(workdir / "renewed", host="localhost", ca=ca)
        server.stop()
        server = ftp_servers("proftpd", tls=renewed[:2], port=server.port)
        run_test_settings(app)
        assert app.no_message_box()
        assert server.files() == sent(data)
        assert stored_certificates(app) == {field: (renewed.fingerprint, True)}

        # What someone on the path would present: a certificate of their own making, for the name.
        forged = certificate(workdir / "forged", host="localhost")
        server.stop()
        server = ftp_servers("proftpd", tls=forged[:2], port=server.port)
        app.click(TEST_SETTINGS)
        buttons, text = app.message_box(timeout=30)
        assert buttons == ["yes", "no"] and text.startswith(CHANGED) and forged.fingerprint in text, text
        assert "Windows trusted the earlier certificate; it does not trust this one" in text, text
        app.answer("no")
        assert app.no_message_box(wait=3)
        assert server.files() == {}
        assert stored_certificates(app) == {field: (renewed.fingerprint, True)}
    finally:
        driver.call("reg-delete-key", "HKCU", root)
