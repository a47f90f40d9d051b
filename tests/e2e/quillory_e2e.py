"""Talking to the test driver and to the program under test."""

import hashlib
import struct
import subprocess
import time

MAIN_CAPTION = "Brannoch Quillory"
BOX_TITLE = "Quillory"
SETTINGS_KEY = r"Software\Brannoch\Quillory"
ROOT_CERTIFICATES_KEY = r"Software\Microsoft\SystemCertificates\Root\Certificates"
RUN_KEY = r"Software\Microsoft\Windows\CurrentVersion\Run"

REG_SZ = 1
REG_BINARY = 3
REG_DWORD = 4

# Control and command ids of the main window.
SEND_TIME = 1000
SERVER_EDIT = 1001
LOGIN_EDIT = 1002
PASSWORD_EDIT = 1003
DIRECTORY_EDIT = 1004
BACKUP_LIST = 1005
AUTORUN_CHECK = 1011
PROGRESS = 1012
ADD_FILES = 3
REMOVE_ITEM = 4
REMOVE_ALL = 5
APPLY_SETTINGS = 6
SHUTDOWN = 7
ADD_WILDCARD = 8
TEST_SETTINGS = 9
TRAY_SHOW = 32771
TRAY_HIDE = 32772
TRAY_ABOUT = 16
TRAY_SHUTDOWN = 32774
TRAY_CALLBACK = 0x400 + 5
TRAY_ICON_ID = 132


def escape(text):
    out = []
    for ch in text:
        if ch == "\\":
            out.append("\\\\")
        elif ch == "\t":
            out.append("\\t")
        elif ch == "\n":
            out.append("\\n")
        elif ch == "\r":
            out.append("\\r")
        else:
            out.append(ch)
    return "".join(out)


def unescape(text):
    out = bytearray()
    i = 0
    raw = text.encode("latin-1")
    while i < len(raw):
        c = raw[i]
        if c == 0x5C and i + 1 < len(raw):
            n = chr(raw[i + 1])
            if n == "n":
                out += b"\n"
            elif n == "r":
                out += b"\r"
            elif n == "t":
                out += b"\t"
            elif n == "x":
                out.append(int(raw[i + 2:i + 4], 16))
                i += 2
            else:
                out.append(raw[i + 1])
            i += 2
            continue
        out.append(c)
        i += 1
    return out.decode("latin-1")


class DriverError(Exception):
    pass


class Driver:
    """The Windows-side helper (qdriver.exe), one persistent process per session."""

    def __init__(self, wine, exe, env):
        self.proc = subprocess.Popen([wine, str(exe)], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     encoding="latin-1", bufsize=1)
        ready = self.proc.stdout.readline().strip()
        if ready != "OK ready":
            raise DriverError(f"driver did not start: {ready!r}")

    def call(self, *args):
        line = "\t".join(escape(str(a)) for a in args)
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        answer = self.proc.stdout.readline().rstrip("\n")
        if answer.startswith("OK"):
            return answer[3:]
        raise DriverError(f"{args[0]}: {unescape(answer[4:])}")

    def close(self):
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()

    # Registry, as the program sees it.
    def reg_get(self, root, key, name):
        """(type, bytes), or None when the key or value is missing."""
        answer = self.call("reg-get", root, key, name)
        if answer in ("nokey", "novalue"):
            return None
        vtype, _, data = answer.partition(" ")
        return int(vtype), bytes.fromhex(data)

    def reg_values(self, root, key):
        answer = self.call("reg-values", root, key)
        if answer == "nokey":
            return None
        return [unescape(v) for v in answer.split("\t")[1:]]

    def reg_set(self, root, key, name, vtype, data):
        self.call("reg-set", root, key, name, str(vtype), data.hex())

    def add_root_certificate(self, der):
        """Makes the current user's Windows trust a CA certificate (DER), written where the
        system store keeps it: a key named by its SHA-1, holding it as a serialized store element
        (property 32, the encoded certificate). Returns the key, for reg-delete-key."""
        key = ROOT_CERTIFICATES_KEY + "\\" + hashlib.sha1(der).hexdigest().upper()
        self.reg_set("HKCU", key, "Blob", REG_BINARY, struct.pack("<III", 32, 1, len(der)) + der)
        return key


def sz(text):
    data = text.encode("latin-1") if isinstance(text, str) else text
    return (REG_SZ, data + b"\0")


def dword(value):
    return (REG_DWORD, struct.pack("<i" if value < 0 else "<I", value))


def scramble(password):
    return bytes((b + 1) & 0xFF for b in password.encode("latin-1"))


def encode_settings(settings):
    """Registry values for a settings dict: server, directory, login, password, files, send_time,
    autorun; any key given as `raw_<Name>` is written as that (type, bytes) pair unchanged."""
    values = {}
    if "server" in settings:
        values["DomainEdit"] = sz(settings["server"])
    if "directory" in settings:
        values["DirectoryEdit"] = sz(settings["directory"])
    if "login" in settings:
        values["LoginEdit"] = sz(settings["login"])
    if "password" in settings:
        values["PasswordEdit"] = sz(scramble(settings["password"]))
    if "files" in settings:
        values["NumFiles"] = dword(len(settings["files"]))
        for i, entry in enumerate(settings["files"]):
            values[f"FileListEntry{i}"] = sz(entry)
    if "send_time" in settings:
        values["SendTime"] = dword(settings["send_time"])
    if "autorun" in settings:
        values["AutoRunCheck"] = dword(settings["autorun"])
    for key, value in settings.items():
        if key.startswith("raw_"):
            values[key[4:]] = value
    return values


def wine_path(path):
    """The Windows name of a Unix path (Wine maps / to drive Z:)."""
    return "Z:" + str(path).replace("/", "\\")


class QuilloryApp:
    """One run of the program under test."""

    def __init__(self, session, driver, exe, args, cwd, env=None, loader=None):
        self.session = session
        self.driver = driver
        self.proc = subprocess.Popen([loader or session.wine, str(exe)] + args,
                                     env=dict(session.env, **(env or {})), cwd=cwd,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_main(self, timeout=30):
        if self.driver.call("wait-visible", MAIN_CAPTION, str(timeout * 1000)) != "1":
            raise AssertionError("main window did not appear")

    def call(self, verb, *args):
        return self.driver.call(verb, MAIN_CAPTION, *args)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout=timeout)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)

    # What a user does.
    def click(self, control_id):
        self.call("click", str(control_id))

    def command(self, command_id):
        self.call("command", str(command_id))

    def set_text(self, control_id, text):
        self.call("set-text", str(control_id), text)

    def text(self, control_id):
        return unescape(self.call("get-text", str(control_id)))

    def visible(self):
        return self.call("visible") == "1"

    def list_items(self):
        fields = self.call("list-items", str(BACKUP_LIST)).split("\t")
        return [unescape(f) for f in fields[1:]]

    def add_entries(self, entries):
        for entry in entries:
            self.call("list-add", str(BACKUP_LIST), entry)

    def checked(self):
        return int(self.call("get-check", str(AUTORUN_CHECK)))

    def set_checked(self, state):
        self.call("set-check", str(AUTORUN_CHECK), str(state))

    def progress(self):
        low, high, pos = self.call("progress", str(PROGRESS)).split()
        return int(low), int(high), int(pos)

    def answer_ms(self, limit_ms=5000):
        """Milliseconds the main window took to answer WM_NULL; -1 when not within limit_ms."""
        return int(self.call("answer-ms", str(limit_ms)))

    def time_text(self):
        return self.call("get-time", str(SEND_TIME))

    def set_time(self, hhmmss):
        return self.call("set-time", str(SEND_TIME), hhmmss)

    def tray(self, mouse_message, icon_id=TRAY_ICON_ID):
        self.call("post", str(TRAY_CALLBACK), str(icon_id), str(mouse_message))

    def message_box(self, timeout=10):
        """(buttons, text) of the program's message box, waiting for it to appear."""
        answer = self.driver.call("msgbox", str(int(timeout * 1000)), BOX_TITLE)
        buttons, _, text = answer.partition("\t")
        return buttons.split(","), unescape(text)

    def no_message_box(self, wait=1.5):
        try:
            self.driver.call("msgbox", str(int(wait * 1000)), BOX_TITLE)
        except DriverError:
            return True
        return False

    def answer(self, choice):
        self.driver.call("answer", choice, BOX_TITLE)

    def settings(self):
        """Every value of the settings key: name -> (type, bytes); None when the key is missing."""
        names = self.driver.reg_values("HKCU", SETTINGS_KEY)
        if names is None:
            return None
        return {n: self.driver.reg_get("HKCU", SETTINGS_KEY, n) for n in names}

    def apply(self):
        """Presses "Apply Settings" and returns once the program has handled it."""
        self.call("click-wait", str(APPLY_SETTINGS))

    def quit(self):
        """Ends the program the quiet way (command 1), as a user's OK would."""
        self.command(1)
        return self.wait_exit()

    def screenshot(self, name, caption=MAIN_CAPTION):
        rect = tuple(int(v) for v in self.driver.call("rect", caption).split())
        return self.session.screenshot(name, rect)

    def wait_until(self, predicate, timeout=30, interval=0.2):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate():
                return True
            time.sleep(interval)
        return predicate()
