"""An X display and a Wine prefix for running the program: Xvfb unless a display is given, and a
prefix made with wineboot unless it exists already."""

import os
import shutil
import subprocess
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
ARTIFACTS = Path(os.environ.get("QUILLORY_ARTIFACTS", ROOT / "build" / "artifacts"))


def find_wine64():
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", "/usr/lib64/wine/wine64"):
        if candidate and os.path.exists(candidate):
            return candidate
    raise RuntimeError("wine64 not found (apt-get install wine64)")


class WineSession:
    def __init__(self, prefix=None, display=None, env=None):
        self.wine = find_wine64()
        self.extra_env = env or {}
        self.tmp = None
        if prefix is None:
            self.tmp = Path(tempfile.mkdtemp(prefix="quillory-e2e-"))
            prefix = self.tmp / "prefix"
        self.prefix = Path(prefix)
        self.display = display
        self.xvfb = None
        self.env = None

    def start(self):
        if not self.display:
            read_fd, write_fd = os.pipe()
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write_fd)
            with os.fdopen(read_fd) as pipe:
                self.display = ":" + pipe.readline().strip()
        self.env = dict(os.environ, DISPLAY=self.display, WINEPREFIX=str(self.prefix), WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", **self.extra_env)
        if not (self.prefix / "system.reg").exists():
            self.prefix.parent.mkdir(parents=True, exist_ok=True)
            subprocess.run([self.wine, "wineboot", "-i"], env=self.env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=600)
            # No window manager runs in Xvfb: let Wine draw captions and frames itself, so
            # screenshots show windows as a user sees them.
            subprocess.run([self.wine, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed",
                            "/d", "N", "/f"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=120)
            self.wineserver(["-w"])
        return self

    def wineserver(self, args):
        server = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
        subprocess.run([server] + args, env=self.env, timeout=300,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop(self):
        self.wineserver(["-k"])
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
        if self.tmp:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def screenshot(self, name, rect=None):
        """A PNG of the screen, or of the rectangle (left, top, right, bottom), kept as an artefact."""
        ARTIFACTS.mkdir(parents=True, exist_ok=True)
        path = ARTIFACTS / f"{name}.png"
        command = ["import", "-display", self.display, "-window", "root"]
        if rect:
            left, top, right, bottom = rect
            command += ["-crop", f"{right - left}x{bottom - top}+{max(left, 0)}+{max(top, 0)}"]
        subprocess.run(command + [str(path)], check=True, timeout=60)
        return path
