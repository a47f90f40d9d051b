#!/usr/bin/python3
"""A small FTP server for the client's fault tests: it answers like a plain server unless told to
fail, stall or cut a connection at a given step. Prints "PORT <n>" once it listens on 127.0.0.1 and
serves until its standard input closes. Every command line it receives is appended to --log."""

import argparse
import os
import socket
import sys
import threading
import time

CUT_AFTER_BYTES = 256 * 1024
STALL_SECONDS = 3600


def parse_args():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True, help="directory that receives uploads")
    parser.add_argument("--log", required=True, help="file that receives every command line")
    parser.add_argument("--user", default="quill")
    parser.add_argument("--password", default="secret")
    parser.add_argument(
        "--greeting",
        default="plain",
        choices=["plain", "multi", "preliminary", "refuse", "stall", "junk", "hangup"],
        help="hangup: close the connection at once, without a word",
    )
    parser.add_argument(
        "--fail",
        action="append",
        default=[],
        metavar="VERB=CODE[:TEXT]",
        help="answer VERB with CODE (and TEXT); FINAL stands for the reply after an upload's data",
    )
    parser.add_argument(
        "--stall",
        action="append",
        default=[],
        metavar="VERB",
        help="never answer VERB; FINAL: after the data; CONNECT: never open the data connection; "
        "DATA: open it but never read",
    )
    parser.add_argument(
        "--cut",
        choices=["none", "control", "data"],
        default="none",
        help="close that connection in the middle of an upload",
    )
    parser.add_argument("--user-is-enough", action="store_true", help="230 right after USER")
    parser.add_argument("--multi-line-replies", action="store_true")
    parser.add_argument("--ipv6", action="store_true", help="listen on ::1")
    parser.add_argument("--no-features", action="store_true", help="a server of old: no FEAT, SIZE, "
                        "RNFR, RNTO, DELE, EPSV or PASV")
    parser.add_argument("--no-rename-over", action="store_true",
                        help="refuse to rename onto an existing file")
    parser.add_argument("--pasv-address", default="10.255.0.1",
                        help="the (wrong) address a 227 reply announces")
    parser.add_argument("--drop-after-stores", type=int, default=0,
                        help="close the control connection after this many stored files, once")
    parser.add_argument("--endless-preliminary", action="store_true",
                        help="answer STOR with 1xx replies that never end")
    parser.add_argument("--stray", action="store_true",
                        help="connect to the data port from another address before the real one")
    parser.add_argument("--urgent", action="store_true",
                        help="send urgent data on the control connection during each upload")
    parser.add_argument("--refuse-temporary-stors", type=int, default=0, metavar="N",
                        help="answer the first N STORs of quillory-upload-* names with 553, as a "
                        "full disk or a name filter would")
    parser.add_argument("--size-reply", metavar="TEXT",
                        help="answer every SIZE with 213 and TEXT; an empty TEXT: a bare 213")
    parser.add_argument("--wrong-size-from", type=int, default=0, metavar="N",
                        help="from the Nth SIZE on, count one byte less than the file holds")
    parser.add_argument("--answer-during-transfer", action="store_true",
                        help="answer the command that follows STOR before the file is written")
    parser.add_argument("--no-rename-onto", metavar="NAME",
                        help="refuse to rename anything onto NAME")
    parser.add_argument("--drop-after-dele", metavar="NAME",
                        help="close the control connection once, right after deleting NAME")
    parser.add_argument("--no-enter", metavar="NAME",
                        help="a directory NAME that can be made but not entered")
    parser.add_argument("--trickle", type=int, default=0, metavar="BYTES",
                        help="read each upload's data at this many bytes a second")
    parser.add_argument("--refuse-after-drop", type=int, default=0, metavar="COUNT",
                        help="refuse this many connections (421) after --drop-after-stores")
    return parser.parse_args()


DROPPED = []
# Counted over every session of the server, so a reconnect does not start them again.
COUNTS = {"temporary-stors": 0, "sizes": 0}


class Session:
    def __init__(self, conn, options, log_lock):
        self.conn = conn
        self.options = options
        self.log_lock = log_lock
        self.fail = dict(item.split("=", 1) for item in options.fail)
        self.stall = set(options.stall)
        self.data_address = None
        self.root = os.path.realpath(options.root)
        self.cwd = self.root
        self.buffer = b""
        self.passive = None
        self.rename_from = None
        self.stored = 0

    def send(self, text):
        self.conn.sendall(text.encode("latin-1") + b"\r\n")

    def reply(self, code, text):
        if self.options.multi_line_replies:
            self.send("%d-%s" % (code, text))
            self.send(" %d is not the end, nor is this line" % code)
            self.send("%d-still going" % code)
            self.send("%d %s" % (code, text))
        else:
            self.send("%d %s" % (code, text))

    def read_line(self):
        while b"\n" not in self.buffer:
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.rstrip(b"\r").decode("latin-1")

    def record(self, line):
        with self.log_lock:
            with open(self.options.log, "a", encoding="latin-1") as log:
                log.write(line + "\n")

    def greet(self):
        kind = self.options.greeting
        if kind == "stall":
            time.sleep(STALL_SECONDS)
        elif kind == "multi":
            self.send("220-Welcome")
            self.send(" 220 indented is not the end")
            self.send("123 nor is this")
            self.send("")
            self.send("220-nor this")
            self.send("220 ready")
        elif kind == "preliminary":
            self.send("120 ready in a moment")
            self.send("220 ready")
        elif kind == "refuse":
            self.send("421 Too many connections")
            return False
        elif DROPPED and len(DROPPED) <= self.options.refuse_after_drop:
            DROPPED.append(True)
            self.send("421 Not yet, try again later")
            return False
        elif kind == "hangup":
            return False
        elif kind == "junk":
            self.send("Hello, this is not FTP")
        else:
            self.send("220 ready")
        return True

    def run(self):
        if not self.greet():
            return
        while True:
            if not self.answer(self.read_line()):
                return

    def answer(self, line):
        """Handles one command line; False when the session ends."""
        if line is None:
            return False
        self.record(line)
        verb, _, argument = line.partition(" ")
        verb = verb.upper()
        if verb in self.stall:
            time.sleep(STALL_SECONDS)
            return False
        if verb in self.fail:
            code, _, text = self.fail[verb].partition(":")
            code = int(code)
            self.reply(code, text or "%s refused by request" % verb)
            return code != 421
        handler = getattr(self, "do_" + verb, None)
        if self.options.no_features and verb in ("FEAT", "SIZE", "RNFR", "RNTO", "DELE", "EPSV",
                                                 "PASV", "OPTS"):
            handler = None
        if handler is None:
            self.reply(502, "Command not implemented")
            return True
        return handler(argument) is not False

    def do_USER(self, argument):
        if self.options.user_is_enough:
            self.reply(230, "Logged in without a password")
        else:
            self.reply(331, "Password please")

    def do_PASS(self, argument):
        if argument == self.options.password:
            self.reply(230, "Logged in")
        else:
            self.reply(530, "Login incorrect")

    def do_TYPE(self, argument):
        self.reply(200, "Type set to " + argument)

    def do_CWD(self, argument):
        try:
            target = self.inside(argument)
        except ValueError:
            target = ""
        if self.options.no_enter and os.path.basename(target) == self.options.no_enter:
            self.reply(550, "Permission denied")
        elif os.path.isdir(target):
            self.cwd = target
            self.reply(250, "Directory changed")
        else:
            self.reply(550, "No such directory")

    def do_MKD(self, argument):
        try:
            os.mkdir(self.inside(argument))
        except (OSError, ValueError):
            self.reply(550, "Cannot create directory")
            return
        self.reply(257, '"%s" created' % argument)

    def inside(self, name):
        """The local path of name; names that would leave the upload root are refused."""
        base = self.root if name.startswith("/") else self.cwd
        target = os.path.realpath(os.path.join(base, name.lstrip("/")))
        if target != self.root and not target.startswith(self.root + os.sep):
            raise ValueError(name)
        return target

    def do_PORT(self, argument):
        parts = argument.split(",")
        self.data_address = (".".join(parts[:4]), int(parts[4]) * 256 + int(parts[5]))
        self.reply(200, "PORT command successful")

    def do_EPRT(self, argument):
        _, _, host, port, _ = argument.split("|")
        self.data_address = (host, int(port))
        self.reply(200, "EPRT command successful")

    def do_FEAT(self, argument):
        self.send("211-Features:")
        self.send(" SIZE")
        self.send(" UTF8")
        self.send("211 End")

    def do_OPTS(self, argument):
        self.reply(200, "OK")

    def do_SIZE(self, argument):
        try:
            size = os.path.getsize(self.inside(argument))
        except (OSError, ValueError):
            self.reply(550, "No such file")
            return
        COUNTS["sizes"] += 1
        if 0 < self.options.wrong_size_from <= COUNTS["sizes"]:
            size -= 1
        if self.options.size_reply is None:
            self.reply(213, str(size))
        elif self.options.size_reply:
            self.reply(213, self.options.size_reply)
        else:
            self.send("213")

    def do_DELE(self, argument):
        try:
            os.remove(self.inside(argument))
            self.reply(250, "Deleted")
            if argument == self.options.drop_after_dele and not DROPPED:
                DROPPED.append(True)
                self.hang_up()
                return False
        except (OSError, ValueError):
            self.reply(550, "No such file")

    def do_RNFR(self, argument):
        try:
            self.rename_from = self.inside(argument)
        except ValueError:
            self.rename_from = None
        if self.rename_from and os.path.exists(self.rename_from):
            self.reply(350, "Ready for RNTO")
        else:
            self.reply(550, "No such file")

    def do_RNTO(self, argument):
        target = self.inside(argument)
        if self.options.no_rename_over and os.path.exists(target):
            self.reply(553, "Rename refused: the file exists")
            return
        if argument == self.options.no_rename_onto:
            self.reply(553, "Rename refused: name not allowed")
            return
        try:
            os.replace(self.rename_from, target)
        except (OSError, TypeError):
            self.reply(550, "Rename failed")
            return
        self.reply(250, "Renamed")

    def open_passive(self):
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind(("127.0.0.1", 0))
        self.passive.listen(1)
        return self.passive.getsockname()[1]

    def do_EPSV(self, argument):
        self.reply(229, "Entering Extended Passive Mode (|||%d|)" % self.open_passive())

    def do_PASV(self, argument):
        port = self.open_passive()
        host = self.options.pasv_address.replace(".", ",")
        self.reply(227, "Entering Passive Mode (%s,%d,%d)" % (host, port // 256, port % 256))

    def open_data(self):
        if self.passive:
            self.passive.settimeout(30)
            data, _ = self.passive.accept()
            self.passive.close()
            self.passive = None
            return data
        if self.options.stray:
            stray = socket.create_connection(self.data_address, source_address=("127.0.0.2", 0))
            try:
                stray.sendall(b"not the file")
            except OSError:
                pass  # turned away already
            stray.close()
        data = socket.socket(socket.AF_INET6 if ":" in self.data_address[0] else socket.AF_INET)
        if self.options.trickle:
            # A small window: a client that stops gets its reset read at once, not after all it
            # had sent.
            data.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        data.settimeout(30)
        data.connect(self.data_address)
        data.settimeout(None)
        return data

    def hang_up(self):
        """Ends the session after what was sent, reading what the client sent on until it closes:
        closing with unread commands would reset the connection and lose the last reply."""
        self.conn.shutdown(socket.SHUT_WR)
        self.conn.settimeout(10)
        while self.conn.recv(4096):
            pass

    def do_NOOP(self, argument):
        self.reply(200, "OK")

    def do_ABOR(self, argument):
        self.reply(225, "No transfer to abort")

    def do_QUIT(self, argument):
        self.reply(221, "Goodbye")
        return False

    def do_STOR(self, argument):
        if "/" in argument or "\\" in argument:
            self.reply(553, "File names only, please")
            return
        if argument.startswith("quillory-upload-") and \
                COUNTS["temporary-stors"] < self.options.refuse_temporary_stors:
            COUNTS["temporary-stors"] += 1
            self.reply(553, "Could not create file")
            return
        self.reply(150, "Opening data connection")
        if self.options.endless_preliminary:
            while True:
                time.sleep(0.2)
                self.reply(150, "Still opening")
        if "CONNECT" in self.stall:
            time.sleep(STALL_SECONDS)
            return False
        data = self.open_data()
        if self.options.urgent:
            self.conn.send(b"!", socket.MSG_OOB)
        if "DATA" in self.stall:
            time.sleep(STALL_SECONDS)
            return False
        received = 0
        held = []
        with open(self.inside(argument), "wb") as target:
            while True:
                try:
                    chunk = data.recv(1024 if self.options.trickle else 65536)
                except ConnectionResetError:
                    self.reply(426, "Connection reset; transfer aborted")
                    return True
                if not chunk:
                    break
                if self.options.trickle:
                    time.sleep(len(chunk) / self.options.trickle)
                held.append(chunk)
                if not self.options.answer_during_transfer:
                    target.write(held.pop())
                received += len(chunk)
                if received >= CUT_AFTER_BYTES and self.options.cut != "none":
                    # A reset, as a crashing server would leave it.
                    data.setsockopt(
                        socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00"
                    )
                    data.close()
                    if self.options.cut == "control":
                        return False
                    self.reply(426, "Connection closed; transfer aborted")
                    return True
            if held:
                # As a server that reads commands while it still writes the file.
                self.answer(self.read_line())
                target.writelines(held)
        data.close()
        if "FINAL" in self.stall:
            time.sleep(STALL_SECONDS)
            return False
        if "FINAL" in self.fail:
            self.reply(int(self.fail["FINAL"]), "Upload failed by request")
            return True
        self.reply(226, "Transfer complete")
        self.stored += 1
        if self.stored == self.options.drop_after_stores and not DROPPED:
            DROPPED.append(True)
            return False
        return True


def serve(listener, options):
    log_lock = threading.Lock()
    while True:
        conn, _ = listener.accept()

        def handle(conn=conn):
            try:
                Session(conn, options, log_lock).run()
            except OSError:
                pass
            finally:
                conn.close()

        threading.Thread(target=handle, daemon=True).start()


def main():
    options = parse_args()
    family, host = (socket.AF_INET6, "::1") if options.ipv6 else (socket.AF_INET, "127.0.0.1")
    listener = socket.socket(family, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, 0))
    listener.listen(8)
    threading.Thread(target=serve, args=(listener, options), daemon=True).start()
    print("PORT %d" % listener.getsockname()[1], flush=True)
    sys.stdin.read()
    os._exit(0)


if __name__ == "__main__":
    main()
