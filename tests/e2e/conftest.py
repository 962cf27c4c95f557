"""Shared fixtures for driving vellomar's builds end to end.

VELLOMAR_BUILD names the build folder under test. Each test gets a fresh start
folder holding a copy of the banner program; the launcher itself runs from
the build folder, so the start folder is never the folder it lives in.
"""

import io
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import tempfile
import termios

import pexpect
import pyte
import pytest

# The terminal every session runs in.
ROWS, COLS = 24, 80

# What a menu pass writes, in the order it writes it.
TITLE = "下载服务器"
MENU = ("按1下载服务器", "按2启动服务器", "按3返回")

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WINE_LOCALE = "zh_CN.UTF-8"

# Where the launcher fetches the server archive, below the site's address.
ARCHIVE = "tarnwick/server/1.12.2.zip"

# How the Linux launcher takes a screen of its own on a terminal, and gives
# the user's back: the alternate screen, the cursor saved around it.
ENTER_SCREEN = "\x1b7\x1b[?1049h"
LEAVE_SCREEN = "\x1b[?1049l\x1b8"
# What cmd's cls writes there: that screen has no scrollback to wipe.
CLS = "\x1b[H\x1b[2J"

# Matches any CSI or OSC escape sequence.
ESCAPE = re.compile(r"\x1b\[[0-9;?]*[ -/]*[@-~]|\x1b\][^\x07]*\x07")


def strip_escapes(text):
    """The text as it reads on screen, without escape sequences."""
    return ESCAPE.sub("", text)


class AltScreen(pyte.Screen):
    """pyte's screen with xterm's alternate screen (mode 1049): entering saves
    the cursor and the main screen and clears; leaving brings both back. As in
    xterm, each screen has one saved cursor (ESC 7, ESC 8) of its own."""

    def __init__(self, columns, lines):
        super().__init__(columns, lines)
        self.saved = None
        self.slots = {}

    def save_cursor(self):
        super().save_cursor()
        self.slots[self.alternate] = self.savepoints.pop()

    def restore_cursor(self):
        if self.alternate in self.slots:
            self.savepoints.append(self.slots[self.alternate])
        super().restore_cursor()

    def set_mode(self, *modes, **kwargs):
        if kwargs.get("private") and 1049 in modes and self.saved is None:
            self.save_cursor()
            self.saved = {y: dict(line) for y, line in self.buffer.items()}
            self.erase_in_display(2)
        super().set_mode(*modes, **kwargs)

    def reset_mode(self, *modes, **kwargs):
        if kwargs.get("private") and 1049 in modes and self.saved is not None:
            self.buffer.clear()
            for y, line in self.saved.items():
                self.buffer[y].update(line)
            self.saved = None
            self.restore_cursor()
        super().reset_mode(*modes, **kwargs)

    @property
    def alternate(self):
        return self.saved is not None


def render(output, columns=COLS, lines=ROWS):
    """The terminal as it looks after receiving output."""
    screen = AltScreen(columns, lines)
    pyte.Stream(screen).feed(output)
    return screen


def picture(screen):
    """What the screen shows, the cursor's place included."""
    return screen.display, (screen.cursor.x, screen.cursor.y)


def cells(screen, y, start=0, stop=None):
    """The text of row y from column start to stop, cell by cell."""
    stop = screen.columns if stop is None else stop
    return "".join(screen.buffer[y][x].data for x in range(start, stop))


def find(screen, text):
    """(row, column) of the first place the screen shows text, or None."""
    for y in range(screen.lines):
        # A wide character fills its cell, and the cell after it is empty.
        columns, joined = [], ""
        for x in range(screen.columns):
            data = screen.buffer[y][x].data
            columns.extend([x] * len(data))
            joined += data
        at = joined.find(text)
        if at >= 0:
            return y, columns[at]
    return None


@pytest.fixture(scope="session")
def build():
    value = os.environ.get("VELLOMAR_BUILD")
    if not value:
        pytest.fail("VELLOMAR_BUILD must name the build folder to test (e.g. build/release)")
    path = pathlib.Path(value).resolve()
    if not path.is_dir():
        pytest.fail(f"VELLOMAR_BUILD={value} is not a folder")
    return path


@pytest.fixture(scope="session")
def version(build):
    """The project's version, as the build was configured."""
    cache = (build / "CMakeCache.txt").read_text(encoding="utf-8")
    found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(\S+)$", cache, re.M)
    assert found, "CMakeCache.txt has no CMAKE_PROJECT_VERSION"
    return found.group(1)


@pytest.fixture
def make_start(tmp_path, build):
    """Makes a start folder in tmp_path/starts, by default with the build's banner program in it."""

    def make(name="start", banner=True):
        folder = tmp_path / "starts" / name
        folder.mkdir(parents=True)
        if banner:
            shutil.copy2(build / "out_put_ver.exe", folder / "out_put_ver.exe")
        return folder

    return make


@pytest.fixture
def start(make_start):
    return make_start()


class Session:
    """A launcher running in a pseudo-terminal, with everything it wrote."""

    def __init__(self, child, log, modes_file=None, timeout=10):
        self.child = child
        self.log = log
        self.modes_file = modes_file
        self.timeout = timeout

    @property
    def output(self):
        """Everything the terminal received so far, escape sequences included."""
        return self.log.getvalue()

    def screen(self, count=12):
        """The last lines the terminal received that are not blank, as they
        read on screen."""
        lines = strip_escapes(self.output).replace("\r", "").split("\n")
        return "\n".join([line.rstrip() for line in lines if line.strip()][-count:])

    def menu(self, count=1):
        """Waits until `count` more complete menus have been drawn; fails with
        what the screen showed when one is not."""
        for _ in range(count):
            try:
                self.child.expect(MENU[-1] + r"\r*\n", timeout=self.timeout)
                continue
            except pexpect.TIMEOUT:
                why = f"no menu within {self.timeout} s"
            except pexpect.EOF:
                why = "the launcher ended before the menu"
            pytest.fail(f"{why}; the screen had:\n{self.screen()}")

    def key_awaited(self):
        """Waits until the terminal is in the no-echo mode of the key wait."""
        assert self.child.waitnoecho(timeout=self.timeout), "the launcher never waited for a key"

    def java_taken(self):
        """Waits for the menu after a Java path was typed, answering Yes to
        the question about its version that a Java other than 8 brings."""
        if self.child.expect([MENU[-1] + r"\r*\n", "┘"], timeout=self.timeout) == 1:
            self.key_awaited()
            self.child.send("y")
            self.menu()

    def notice(self):
        """Waits until a notice is drawn and awaits its keys; returns what it
        shows, without blanks and frame, its rows read one after the other."""
        self.child.expect_exact("┘", timeout=self.timeout)
        self.key_awaited()
        screen = render(self.output)
        top, bottom = find(screen, "┌")[0], find(screen, "└")[0]
        drawn = "".join(cells(screen, y) for y in range(top, bottom + 1))
        return re.sub(r"[\s│┌┐└┘─]", "", drawn)

    def modes(self):
        """The terminal's current modes, as tcgetattr reports them."""
        return termios.tcgetattr(self.child.child_fd)

    def modes_before(self):
        """The terminal's modes just before the launcher started."""
        with open(self.modes_file, "rb") as f:
            return pickle.load(f)

    def finish(self):
        """Waits for the end and returns the terminal's modes as it left them."""
        self.child.expect(pexpect.EOF, timeout=self.timeout)
        left = self.modes()
        self.child.close()
        return left


def spawn_in_pty(program, args=(), modes_file=None, size=(ROWS, COLS), timeout=10, preexec=None, **kw):
    """Starts program in a pseudo-terminal, logging all it writes; with
    modes_file, the terminal's modes as the program finds them are saved
    there; preexec runs in the child last before exec. Returns the child and
    its log."""

    def record_modes():
        # Runs in the child just before exec.
        if modes_file:
            with open(modes_file, "wb") as f:
                pickle.dump(termios.tcgetattr(0), f)
        if preexec:
            preexec()

    log = io.StringIO()
    child = pexpect.spawn(str(program), list(args), encoding="utf-8", dimensions=size, timeout=timeout,
                          preexec_fn=record_modes if modes_file or preexec else None, **kw)
    child.logfile_read = log
    return child, log


def close_all(children):
    """Ends whatever a test left running."""
    for child in children:
        if child.isalive():
            child.close(force=True)


def term_env(extra):
    """The environment of a program under test: an xterm, no locale overrides
    and no display, with extra on top."""
    env = dict(os.environ)
    for name in ("LC_ALL", "LC_CTYPE", "DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(name, None)
    env.update({"TERM": "xterm", **extra})
    return env


# What a 64-bit Java 8 prints for -version, to standard error.
JAVA8_VERSION = ('openjdk version "1.8.0_392"\n'
                 "OpenJDK Runtime Environment (Temurin)(build 1.8.0_392-b08)\n"
                 "OpenJDK 64-Bit Server VM (Temurin)(build 25.392-b08, mixed mode)\n")


def java8_standin(home, log=None):
    """Writes home/bin/java, a program that answers -version and
    -XshowSettings:properties -version as a 64-bit Java 8 does and runs
    anything else (the server) with the machine's Java; with log, each call
    appends "FOLDER|ARGUMENTS" to it. Returns its path."""
    real = os.path.realpath(shutil.which("java"))
    settings = ["Property settings:", "    file.encoding = UTF-8", "    file.separator = /",
                '    java.home = $(cd "$(dirname "$0")/.." && pwd)', "    java.specification.version = 1.8",
                "    java.vendor = Temurin", "    java.version = 1.8.0_392", "    java.vm.name = OpenJDK 64-Bit Server VM",
                "    os.arch = amd64", "    os.name = Linux", "    sun.arch.data.model = 64", ""]
    quoted = " ".join(f'"{line}"' for line in settings)
    version = " ".join(f"'{line}'" for line in JAVA8_VERSION.splitlines())
    program = home / "bin" / "java"
    program.parent.mkdir(parents=True)
    program.write_text("#!/bin/sh\n"
                       + (f"printf '%s|%s\\n' \"$(pwd)\" \"$*\" >> '{log}'\n" if log else "")
                       + f'case "$*" in\n'
                       f"-version) printf '%s\\n' {version} >&2; exit 0 ;;\n"
                       f"'-XshowSettings:properties -version') printf '%s\\n' {quoted} {version} >&2; exit 0 ;;\n"
                       f"esac\nexec '{real}' \"$@\"\n")
    program.chmod(0o755)
    return program


@pytest.fixture(scope="session")
def java8_home(tmp_path_factory):
    """The folder of a 64-bit Java 8 for the launchers under test to find."""
    home = tmp_path_factory.mktemp("java8-home")
    java8_standin(home)
    return home


@pytest.fixture
def launch(build, tmp_path, java8_home):
    """Starts the Linux launcher in a pseudo-terminal, with the start folder as
    current directory. It finds a 64-bit Java 8 (JDK_HOME), as on a machine
    that has one: the offer of one to download comes only where a test asks
    for it, with JDK_HOME empty."""
    sessions = []

    def spawn(folder, env=None, preexec=None):
        modes_file = tmp_path / f"modes-before-{len(sessions)}.pickle"
        child, log = spawn_in_pty(build / "vellomar", modes_file=modes_file, cwd=str(folder), preexec=preexec,
                                  env=term_env({"LANG": "C.UTF-8", "JDK_HOME": str(java8_home), **(env or {})}))
        session = Session(child, log, modes_file)
        sessions.append(session)
        return session

    yield spawn
    close_all(s.child for s in sessions)


def run_without_terminal(build, folder, data):
    """Runs the Linux launcher in a session of its own (no controlling terminal),
    input from a pipe, output to a pipe."""
    return subprocess.run(
        [str(build / "vellomar")],
        cwd=folder,
        input=data,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        start_new_session=True,
        env=term_env({"LANG": "C.UTF-8"}),
        timeout=30,
    )


@pytest.fixture(scope="session")
def demo_archive(tmp_path_factory):
    """The demo server archive of the local distribution site, as bytes."""
    folder = tmp_path_factory.mktemp("demo-site")
    site = pathlib.Path(__file__).resolve().parents[2] / "site" / "serve.py"
    subprocess.run(["/usr/bin/python3", str(site), "--dir", str(folder), "--sha256"], check=True, timeout=120,
                   stdout=subprocess.DEVNULL)
    return (folder / "www" / "tarnwick" / "server" / "1.12.2.zip").read_bytes()


@pytest.fixture
def dist_site(tmp_path_factory):
    """A local HTTPS distribution site for the launcher; register the archive
    under dist_site.files[ARCHIVE]."""
    from dist import Site, make_certificate

    folder = tmp_path_factory.mktemp("dist-site")
    site = Site(*make_certificate(str(folder)))
    site.env = {"VELLOMAR_DIST_HOST": site.host, "CURL_CA_BUNDLE": site.cert}
    yield site
    site.close()


@pytest.fixture(scope="session")
def wine_env():
    """An environment for Wine with a prefix made once for the session and
    removed at its end."""
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if "zh_CN.utf8" not in locales:
        pytest.fail(
            "the locale zh_CN.UTF-8 is missing; make it with: localedef -i zh_CN -f UTF-8 zh_CN.UTF-8"
        )
    if not os.access(WINE, os.X_OK):
        pytest.fail(f"{WINE} is missing; install Debian's wine64")
    with tempfile.TemporaryDirectory(prefix="vellomar-wine-") as prefix:
        env = term_env({"WINEPREFIX": prefix, "WINEDEBUG": "-all", "LANG": WINE_LOCALE})
        try:
            boot = subprocess.run(
                [WINE, "wineboot", "-i"],
                env=env,
                stdin=subprocess.DEVNULL,
                capture_output=True,
                timeout=180,
            )
            assert boot.returncode == 0, f"wineboot failed: {boot.stderr.decode(errors='replace')}"
            # Wait for the boot's own processes to end: a desktop they leave
            # behind has no display, and a message box opened on it later
            # never reaches the tests' X server.
            subprocess.run([WINESERVER, "-w"], env=env, capture_output=True, timeout=120)
            yield env
        finally:
            subprocess.run([WINESERVER, "-k"], env=env, capture_output=True, timeout=60)
            subprocess.run([WINESERVER, "-w"], env=env, capture_output=True, timeout=60)


@pytest.fixture
def launch_wine(build, wine_env):
    """Starts the Windows launcher (the build's, or program) under Wine in a pseudo-terminal."""
    sessions = []

    def spawn(folder, env=None, program=None, size=(ROWS, COLS)):
        child, log = spawn_in_pty(WINE, [str(program or build / "vellomar.exe")], timeout=60, cwd=str(folder),
                                  env={**wine_env, **(env or {})}, size=size)
        session = Session(child, log, timeout=60)
        sessions.append(session)
        return session

    yield spawn
    close_all(s.child for s in sessions)
