"""Keys 1 and 2 of the Windows build under Wine, with stand-ins for PowerShell,
robocopy, java.exe and Windows' own curl.exe that read their command lines as
the real programs do and record them (byte for byte, GBK as the launcher
writes them), under Xvfb so that the message boxes have a display to show
on."""

import hashlib
import os
import pathlib
import re
import shutil
import socket
import subprocess
import time

import pexpect
import pytest

from conftest import ROWS, WINE, render, strip_escapes

HOST = "https://127.0.0.1:9443"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def free_port():
    """A port no program listens on now, for the server's own."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Display:
    """An X server of the tests' own (Xvfb), for the message boxes."""

    def __init__(self, folder):
        self.log = open(folder / "xvfb.log", "w+")
        self.read, write = os.pipe()
        # A session of its own keeps signals meant for the tests' group away.
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "800x600x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=self.log, start_new_session=True)
        os.close(write)
        # Xvfb writes the number and the line end in two writes, and ends
        # when the second finds nobody reading: read up to the line end, and
        # keep the pipe open while it runs.
        number = b""
        while not number.endswith(b"\n"):
            got = os.read(self.read, 16)
            if not got:
                break
            number += got
        number = number.decode().strip()
        assert number, "Xvfb did not start"
        self.name = f":{number}"

    def check(self):
        """Fails the test, saying why, once the X server has ended."""
        if self.xvfb.poll() is not None:
            self.log.seek(0)
            pytest.fail(f"Xvfb ended with status {self.xvfb.returncode}: {self.log.read()[-2000:]}")

    def close(self):
        self.xvfb.terminate()
        self.xvfb.wait(timeout=10)
        os.close(self.read)
        self.log.close()


@pytest.fixture(scope="module")
def display(tmp_path_factory):
    screen = Display(tmp_path_factory.mktemp("display"))
    yield screen
    screen.close()


def x_client(display, *command, timeout=30):
    """Runs an X client on the display; returns its result."""
    # xdotool reads window names in its own locale: without UTF-8 a Chinese
    # title never matches.
    env = dict(os.environ, DISPLAY=display.name, LC_ALL="C.UTF-8")
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=timeout)


def shown_boxes(display, title):
    """The windows with this title that are mapped and viewable now. Wine
    creates a box's X window unmapped and maps it a little later; until then
    it can take neither the focus nor a key."""
    return x_client(display, "xdotool", "search", "--onlyvisible", "--name", f"^{title}$").stdout.split()


def viewable(display, window):
    """Whether the window still exists and is shown. Wine leaves a box that
    took its key shown for about two seconds, then destroys its window."""
    info = x_client(display, "xwininfo", "-id", window)
    return info.returncode == 0 and "Map State: IsViewable" in info.stdout


def focus(display, window):
    """Gives the window the input focus; whether it has it now."""
    try:
        done = x_client(display, "xdotool", "windowfocus", "--sync", window, timeout=10)
    except subprocess.TimeoutExpired:
        return False
    return done.returncode == 0


def press_enter_on_box(display, title, session=None, timeout=60, closing=15):
    """Waits for the message box with this title to be shown, gives it the
    focus, presses Enter once and waits until the box is gone. Wine queues a
    key it was given until a box takes it, so a second Enter would close the
    next box at once: it is pressed only when the same box is still shown
    `closing` seconds after the first. Fails with the windows on the display
    and the terminal's screen when the box does not show or does not close."""

    def fail(why):
        display.check()
        tree = x_client(display, "xwininfo", "-root", "-tree").stdout
        windows = [line.strip() for line in tree.splitlines() if re.match(r'\s*0x\w+ "', line)]
        screen = ""
        if session:
            try:
                session.child.read_nonblocking(65536, timeout=0.5)
            except (pexpect.TIMEOUT, pexpect.EOF):
                pass
            screen = session.screen()
        pytest.fail(f"{why}; the display had the windows {windows}; the screen had:\n{screen}")

    end = time.monotonic() + timeout
    boxes = []
    while not boxes:
        if time.monotonic() > end:
            fail(f"no message box titled {title} was shown within {timeout} s")
        display.check()
        time.sleep(0.2)
        boxes = shown_boxes(display, title)
    if len(boxes) > 1:
        fail(f"{len(boxes)} message boxes titled {title} are shown")
    box = boxes[0]

    for pressed in range(2):
        while not focus(display, box):
            if not viewable(display, box):
                if pressed:
                    return
                fail(f"the message box {box} closed before Enter was pressed in it")
            if time.monotonic() > end:
                fail(f"the message box {box} never took the focus")
            time.sleep(0.2)
        key = x_client(display, "xdotool", "key", "Return")
        if key.returncode != 0:
            fail(f"xdotool could not press Enter: {key.stderr.strip()}")
        settle = time.monotonic() + closing
        while time.monotonic() < settle:
            if not viewable(display, box):
                return
            time.sleep(0.1)
    fail(f"the message box {box} was still shown {closing} s after each of two Enters")


# Where the stand-in site sends the archive's address: another one, as a CDN
# would.
ARCHIVE_URL = HOST + "/tarnwick/server/1.12.2.zip"
MOVED_URL = HOST + "/cdn/1.12.2.zip"


@pytest.fixture
def standins(build, tmp_path, display):
    """The stand-ins, their logs, and the environment that puts them to work."""
    payload = tmp_path / "payload"
    payload.mkdir()
    (payload / "eula.txt").write_text("eula=true\n")
    (payload / "server.properties").write_text(f"server-port={free_port()}\n")
    (payload / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    archive = tmp_path / "archive.zip"
    archive.write_bytes(b"stands for the server archive")
    site = tmp_path / "site.txt"
    site.write_text(f"{ARCHIVE_URL} 302 {MOVED_URL}\n{MOVED_URL} 200 {windows_path(archive)}\n")
    java_folder = tmp_path / "Java 8" / "bin"
    java_folder.mkdir(parents=True)
    shutil.copy2(build / "tests" / "standins" / "java.exe", java_folder / "java.exe")
    logs = {"ps": tmp_path / "ps.log", "java": tmp_path / "java.log", "curl": tmp_path / "curl.log"}
    env = {
        "DISPLAY": display.name,
        "WINEPATH": windows_path(build / "tests" / "standins"),
        "VELLOMAR_DIST_HOST": HOST,
        "VELLOMAR_PS_LOG": str(logs["ps"]),
        "VELLOMAR_PS_SITE": windows_path(site),
        "VELLOMAR_CURL_LOG": str(logs["curl"]),
        # What the stand-in fetches is what was published.
        "VELLOMAR_ARCHIVE_SHA256": hashlib.sha256(archive.read_bytes()).hexdigest(),
        "VELLOMAR_PS_PAYLOAD": windows_path(payload),
        "VELLOMAR_JAVA_LOG": str(logs["java"]),
    }
    return env, logs, windows_path(java_folder / "java.exe")


@pytest.fixture
def system_curl(build, wine_env):
    """The curl.exe stand-in in the prefix's System32 until the test ends."""
    placed = os.path.join(wine_env["WINEPREFIX"], "drive_c", "windows", "system32", "curl.exe")
    shutil.copy2(build / "tests" / "curl" / "curl.exe", placed)
    yield
    os.remove(placed)


def wait_text(s, text, timeout=60):
    """Waits until text shows on screen; Wine may draw it a character at a time
    between cursor sequences, so it is looked for without escape sequences."""
    end = time.monotonic() + timeout
    while text not in strip_escapes(s.output):
        if time.monotonic() > end:
            pytest.fail(f"{text!r} never showed; the screen had:\n{s.screen()}")
        try:
            s.child.read_nonblocking(4096, timeout=0.2)
        except pexpect.TIMEOUT:
            pass


def install(s, java):
    s.menu()
    s.child.send("1")
    s.child.expect_exact("请选择要安装的服务器编号(红色的那个数字):")
    s.child.send("1\r")
    s.child.expect_exact("请输入Java(Java8)的路径(java.exe):")
    s.child.send(java + "\r")
    s.menu()


def test_install_then_start_under_wine(launch_wine, start, standins, display):
    env, logs, java = standins
    typed = f'"{java}"'  # the folder has a blank: the user types the quotes
    s = launch_wine(start, env=env)
    install(s, typed)

    # No curl.exe in System32: PowerShell's own download, which followed the
    # site's redirect.
    assert logs["ps"].read_bytes() == (
        b"powershell curl  -OutFile 1.12.2.zip " + ARCHIVE_URL.encode() + b"\n"
        b"powershell Expand-Archive -LiteralPath '1.12.2.zip' -DestinationPath '.\\.1.12.2.new'\n")
    # Extracted beside it, the server folder took its name once whole.
    assert sorted(os.listdir(start / "vellomar")) == ["1.12.2", "1.12.2.zip"]
    server = start / "vellomar" / "1.12.2"
    assert (server / "java").read_bytes() == typed.encode("gbk") + b" \r\n"
    assert (server / "eula.txt").exists()

    s.child.send("2")
    s.child.expect_exact("请输入要启动的服务器的编号:")
    s.child.send("1\r")
    wait_text(s, "stand-in server running")
    assert "\x1b]0;服务器正在运行\x07" in s.output
    # The server's console reads the keyboard.
    s.child.send("stop\r")
    wait_text(s, "console read: stop")
    press_enter_on_box(display, "下载服务器", s)
    s.menu()
    s.child.send("3")
    s.finish()
    assert s.child.exitstatus == 0

    # At the prompt as the list's Javas, and before the server " -version":
    # cmd leaves the blank before the " 2>&1" that puts standard error on the
    # pipe.
    line, ran_in = pathlib.Path(str(logs["java"]) + ".checks").read_bytes().decode("gbk").splitlines()[-2:]
    assert line == typed + " -XshowSettings:properties -version "
    calls = logs["java"].read_bytes().decode("gbk").splitlines()
    assert calls[0::2] == [typed + "  -version ", typed + "  -jar spigot-1.12.2.jar"]
    assert {folder.lower() for folder in calls[1::2] + [ran_in]} == {windows_path(server).lower()}


def test_an_archive_other_than_the_published_one_is_refused_under_wine(launch_wine, start, standins):
    env, logs, _ = standins
    published = hashlib.sha256(b"the published archive").hexdigest()
    fetched = env["VELLOMAR_ARCHIVE_SHA256"]
    s = launch_wine(start, env={**env, "VELLOMAR_ARCHIVE_SHA256": published})
    s.menu()
    s.child.send("1")
    s.child.expect_exact("请选择要安装的服务器编号(红色的那个数字):")
    s.child.send("1\r")
    # Written in GBK: the console shows it as Chinese only then.
    wait_text(s, "下载的 1.12.2.zip 与发布的文件不同（SHA-256 不符），已将其删除。")
    wait_text(s, f"  下载的: {fetched}")
    wait_text(s, f"  发布的: {published}")
    wait_text(s, "安装失败，2 秒后重试")
    work = start / "vellomar"
    assert not (work / "1.12.2.zip").exists()
    assert not (work / "1.12.2" / "eula.txt").exists()
    # Downloaded, and never extracted.
    assert all(line.startswith(b"powershell curl  -OutFile 1.12.2.zip ") for line in logs["ps"].read_bytes().splitlines())


def test_key_1_downloads_with_curl_itself_under_wine(launch_wine, start, standins, system_curl):
    env, logs, java = standins
    # The first site answers 404: curl, told --fail by the launcher's config,
    # writes no file, and the next site is tried at once; its redirect is
    # followed (--location).
    gone = "https://127.0.0.1:9444"
    s = launch_wine(start, env={**env, "VELLOMAR_DIST_HOST": f"{gone} {HOST}"})
    install(s, f'"{java}"')
    s.child.send("3")
    s.finish()
    work = start / "vellomar"
    assert logs["ps"].read_bytes() == (
        b"powershell curl.exe  -o 1.12.2.zip " + gone.encode() + b"/tarnwick/server/1.12.2.zip\n"
        b"powershell curl.exe  -o 1.12.2.zip " + ARCHIVE_URL.encode() + b"\n"
        b"powershell Expand-Archive -LiteralPath '1.12.2.zip' -DestinationPath '.\\.1.12.2.new'\n")
    runs = logs["curl"].read_text().lower().splitlines()
    assert runs[1::2] == ["config: " + windows_path(work / "_curlrc").lower()] * 2
    assert not (work / "_curlrc").exists()
    assert (work / "1.12.2" / "spigot-1.12.2.jar").exists()
    assert "SHA-256 不符" not in strip_escapes(s.output)


def in_wine(wine_env, env, folder, line):
    """Runs a command line through Wine's cmd in folder: its status and what it printed."""
    done = subprocess.run([WINE, "cmd", "/c", line], cwd=folder, env={**wine_env, **env}, capture_output=True,
                          timeout=60)
    return done.returncode, (done.stdout + done.stderr).decode("gbk", errors="replace")


def test_the_stand_ins_refuse_what_windows_refuses(wine_env, standins, tmp_path):
    env, logs, _ = standins
    here = tmp_path / "here"
    for folder in ("w1", "w2", "w[12]", "d"):
        (here / folder).mkdir(parents=True)
        (here / folder / "level.dat").write_text(folder)
    (here / "a.zip").write_bytes(b"stands for a zip")
    (here / "d" / "eula.txt").write_text("mine")
    rows = [
        # The download line as it was once composed: Windows PowerShell 5.1
        # finds -o ambiguous.
        (f"powershell curl  -o 1.12.2.zip {ARCHIVE_URL}", 1,
         "Invoke-WebRequest : Parameter cannot be processed because the parameter name 'o' is ambiguous. "
         "Possible matches include: -OutFile -OutVariable -OutBuffer."),
        # curl.exe runs only where Windows has it.
        (f"powershell curl.exe  -o 1.12.2.zip {ARCHIVE_URL}", 1, "The term 'curl.exe' is not recognized"),
        # -Path is a wildcard: w[12] stands for w1 and w2, not for itself.
        ("powershell Compress-Archive 'w[12]' 'w.zip'", 0, ""),
        # A file there already is not replaced without -Force; the others are written.
        ("powershell Expand-Archive -LiteralPath 'a.zip' -DestinationPath 'd'", 1, "eula.txt' already exists"),
        # Robocopy's one form, the user's file kept, and a parameter it does not know.
        ("robocopy w1 d /e /xc /xn /xo /r:0 /w:0 /njh /njs /ndl /nfl /np", 2, ""),
        ("robocopy w1 d /mir", 16, 'ERROR : Invalid Parameter #3 : "/mir"'),
    ]
    for line, status, said in rows:
        got, printed = in_wine(wine_env, env, here, line)
        assert got == status and said in printed, (line, got, printed)
    assert not (here / "1.12.2.zip").exists()
    assert sorted((here / "w.zip").read_text().splitlines()[1:]) == ["w1", "w2"]
    assert (here / "d" / "eula.txt").read_text() == "mine"
    assert (here / "d" / "level.dat").read_text() == "d"
    assert (here / "d" / "spigot-1.12.2.jar").exists()


def test_a_continued_installation_keeps_the_users_files_under_wine(launch_wine, start, standins, display):
    env, logs, java = standins
    work = start / "vellomar"
    server = work / "1.12.2"
    # Cut short before the jar; the user agreed, set the world's name and
    # played. w[1] names one folder, but Compress-Archive would read it as a
    # wildcard for w1.
    (server / "w[1]").mkdir(parents=True)
    (server / "w1").mkdir()
    eula = "#agreed by the user\neula=true\n"
    properties = f"level-name=w[1]\nserver-port={free_port()}\nmotd=mine\n"
    (server / "eula.txt").write_text(eula)
    (server / "server.properties").write_text(properties)
    (server / "w[1]" / "level.dat").write_bytes(b"the user's world")
    s = launch_wine(start, env=env)
    install(s, f'"{java}"')
    assert logs["ps"].read_bytes() == (
        b"powershell curl  -OutFile 1.12.2.zip " + ARCHIVE_URL.encode() + b"\n"
        b"powershell Expand-Archive -LiteralPath '1.12.2.zip' -DestinationPath '.\\.1.12.2.new'\n")
    assert (server / "eula.txt").read_text() == eula
    assert (server / "server.properties").read_text() == properties
    assert (server / "w[1]" / "level.dat").read_bytes() == b"the user's world"
    assert (server / "spigot-1.12.2.jar").read_bytes() == b"not really a jar"
    assert not (work / ".1.12.2.new").exists()

    s.child.send("2")
    s.child.expect_exact("请输入要启动的服务器的编号:")
    s.child.send("1\r")
    wait_text(s, "server.properties 中的 level-name 不是单个文件夹的名称，或含有无法用于备份的字符，无法备份世界。")
    press_enter_on_box(display, "下载服务器", s)  # Yes: start anyway
    wait_text(s, "stand-in server running")
    s.child.send("stop\r")
    press_enter_on_box(display, "下载服务器", s)
    s.menu()
    s.child.send("3")
    s.finish()
    assert b"Compress-Archive" not in logs["ps"].read_bytes()
    assert not (work / "backups").exists()


def answer_1_then_close_the_box(launch_wine, start, standins, display, key, prompt):
    """With the server folder there, presses key, answers "1" at the prompt,
    closes the message box that follows and leaves; returns the session."""
    env, logs, java = standins
    (start / "vellomar" / "1.12.2").mkdir(parents=True, exist_ok=True)
    s = launch_wine(start, env=env)
    s.menu()
    s.child.send(key)
    s.child.expect_exact(prompt)
    s.child.send("1\r")
    press_enter_on_box(display, "下载服务器", s)
    s.menu()
    s.child.send("3")
    s.finish()
    return s


def test_second_installation_shows_the_notice(launch_wine, start, standins, display):
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    (server / "java").write_bytes(standins[2].encode("gbk") + b" \r\n")
    answer_1_then_close_the_box(launch_wine, start, standins, display, "1", "(红色的那个数字):")
    assert not standins[1]["ps"].exists()


def test_start_without_a_java_command_file(launch_wine, start, standins, display):
    s = answer_1_then_close_the_box(launch_wine, start, standins, display, "2", "请输入要启动的服务器的编号:")
    assert not standins[1]["java"].exists()
    assert "服务器正在运行" not in strip_escapes(s.output)


def test_a_removed_java_is_asked_for_again_under_wine(launch_wine, start, standins, display, tmp_path):
    env, logs, _ = standins
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    (server / "java").write_bytes(b'"' + windows_path(tmp_path / "removed" / "java.exe").encode() + b'" \r\n')
    folder = tmp_path / "爪哇 17" / "bin"
    folder.mkdir(parents=True)
    shutil.copy2(tmp_path / "Java 8" / "bin" / "java.exe", folder / "java.exe")
    typed = f'"{windows_path(folder / "java.exe")}"'
    # A 64-bit Java 8 to be found, so that none is offered for download.
    (tmp_path / "Java 8" / "bin" / "java.properties").write_text(JAVA8_PROPERTIES, newline="")
    s = launch_wine(start, env={**env, "VELLOMAR_JAVA_VERSION": "17.0.9", "JAVA_HOME": windows_path(tmp_path / "Java 8")})
    s.menu()
    s.child.send("2")
    s.child.expect_exact("请输入要启动的服务器的编号:")
    s.child.send("1\r")
    press_enter_on_box(display, "下载服务器")  # Yes: set the path again
    wait_text(s, "请输入Java(Java8)的路径(java.exe):")
    # cmd would expand it as it saves the answer.
    s.child.send("C:\\jdk%OS%17\\bin\\java.exe\r")
    wait_text(s, "输入的内容中含有百分号 %，无法保存为Java命令。请重新输入。")
    s.child.send("Z:\\nowhere\\java.exe\r")
    wait_text(s, "无法运行 Z:\\nowhere\\java.exe：找不到该程序")
    s.child.send(typed + "\r")
    wait_text(s, 'openjdk version "17.0.9"')
    press_enter_on_box(display, "下载服务器")  # Yes: use Java 17 anyway
    s.menu()
    s.child.send("3")
    s.finish()
    assert (server / "java").read_bytes() == typed.encode("gbk") + b" \r\n"
    # Only the new Java ran, once, at the prompt, as the list's Javas run.
    assert not logs["java"].exists()
    line, ran_in = pathlib.Path(str(logs["java"]) + ".checks").read_bytes().splitlines()[-2:]
    assert line == typed.encode("gbk") + b" -XshowSettings:properties -version "
    assert ran_in.lower() == windows_path(server).lower().encode("gbk")
    assert "服务器正在运行" not in strip_escapes(s.output)


# What the stand-in java.exe says of itself when this file is beside it: a
# 64-bit Java 8.
JAVA8_PROPERTIES = ("    java.specification.version = 1.8\r\n    java.version = 1.8.0_392\r\n"
                    "    sun.arch.data.model = 64\r\n\r\n")
JAVA8_URL = HOST + "/tarnwick/java/8/windows-x64.zip"


def test_a_java_8_is_downloaded_for_whoever_has_none_under_wine(launch_wine, make_start, build, standins, display,
                                                                 system_curl, tmp_path):
    env, logs, _ = standins
    start = make_start("开始 文件夹")
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    # What the site serves, and what its extraction leaves: a Java 8 in one
    # folder.
    archive = tmp_path / "java8 archive.zip"
    archive.write_bytes(b"stands for the Java archive")
    (tmp_path / "site.txt").write_text(f"{JAVA8_URL} 200 {windows_path(archive)}\n")
    payload = tmp_path / "Java archive"
    (payload / "jdk8u392-b08-jre" / "bin").mkdir(parents=True)
    shutil.copy2(build / "tests" / "standins" / "java.exe", payload / "jdk8u392-b08-jre" / "bin")
    (payload / "jdk8u392-b08-jre" / "bin" / "java.properties").write_text(JAVA8_PROPERTIES, newline="")
    # The one Java found, on PATH, is a Java 17.
    s = launch_wine(start, env={**env, "VELLOMAR_JAVA_VERSION": "17.0.9", "VELLOMAR_PS_PAYLOAD": windows_path(payload),
                                "VELLOMAR_JAVA_SHA256": hashlib.sha256(archive.read_bytes()).hexdigest()})
    s.menu()
    s.child.send("1")
    s.child.expect_exact("请选择要安装的服务器编号(红色的那个数字):")
    s.child.send("1\r")
    press_enter_on_box(display, "下载服务器", s)  # Yes: download Java 8
    s.menu()
    s.child.send("3")
    s.finish()
    # Windows' own curl, as where it has one.
    assert logs["ps"].read_bytes() == (
        b"powershell curl.exe  -o java8.zip " + JAVA8_URL.encode() + b"\n"
        b"powershell Expand-Archive -LiteralPath 'java8.zip' -DestinationPath '.\\java8'\n")
    # Saved without a question, quoted as the list quotes, a path the start
    # finds from the server folder.
    java = windows_path(start / "vellomar" / "java8" / "jdk8u392-b08-jre" / "bin" / "java.exe")
    assert (server / "java").read_bytes() == b'"' + java.encode("gbk") + b'" \r\n'
    assert sorted(os.listdir(start / "vellomar")) == ["1.12.2", "java8"]


def server_folder(start, java, jar=b"not really a jar"):
    """The server folder as an installation leaves it, with a port of its own
    and the stand-in as its Java; returns it and the port."""
    port = free_port()
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(jar)
    (server / "server.properties").write_text(f"server-port={port}\n")
    (server / "java").write_bytes(f'"{java}" \r\n'.encode("gbk"))
    return server, port


def start_server(s):
    s.menu()
    s.child.send("2")
    s.child.expect_exact("请输入要启动的服务器的编号:")
    s.child.send("1\r")


def test_why_the_server_stopped_is_said_under_wine(launch_wine, start, standins, display):
    env, logs, java = standins
    server, port = server_folder(start, java)
    # Not agreed yet, read-only, its lines ended by CR alone.
    eula = b"#kept\reula=false\rmotd=keep me\r"
    (server / "eula.txt").write_bytes(eula)
    (server / "eula.txt").chmod(0o444)
    failed = "[08:00:00] [Server thread/WARN]: **** FAILED TO BIND TO PORT!"
    s = launch_wine(start, env={**env, "VELLOMAR_JAVA_LATEST": failed})
    start_server(s)
    press_enter_on_box(display, "下载服务器", s)  # Yes: agree
    wait_text(s, "stand-in server running")
    assert (server / "eula.txt").read_bytes() == eula.replace(b"=false", b"=true")
    # Still read-only, as Wine shows the attribute.
    assert (server / "eula.txt").stat().st_mode & 0o222 == 0
    s.child.send("stop\r")
    # Said before the notice, which holds the launcher until it is closed;
    # read as Chinese only when written as GBK.
    wait_text(s, f"服务器无法启动：端口 {port} 已被其他程序占用。")
    press_enter_on_box(display, "下载服务器", s)
    s.menu()
    s.child.send("3")
    s.finish()
    assert (server / "logs" / "latest.log").read_text() == failed + "\n"


def test_a_java_error_on_standard_error_is_read_and_the_server_started_again_under_wine(
        launch_wine, start, standins, display):
    env, logs, java = standins
    server, port = server_folder(start, java)
    error = 'Exception in thread "main" java.lang.OutOfMemoryError: Java heap space'
    s = launch_wine(start, env={**env, "VELLOMAR_JAVA_ERROR": error, "VELLOMAR_TEST_RESTART": "1 60"})
    start_server(s)
    # Where friends connect, from GetAdaptersAddresses: the addresses `ip`
    # lists, which are Wine's adapters.
    listed = subprocess.run(["ip", "-o", "-4", "addr", "show", "up"], capture_output=True, text=True,
                            check=True).stdout
    ips = [ip for ip in re.findall(r"inet (\d+\.\d+\.\d+\.\d+)/", listed) if not ip.startswith("127.")]
    wait_text(s, "朋友可以用以下地址连接服务器：" + "、".join(f"{ip}:{port}" for ip in ips) if ips
              else f"这台电脑没有连接到网络，只有这台电脑上的程序可以连接服务器：127.0.0.1:{port}")
    # The server's output is the console still; what it wrote to standard
    # error shows, and is read.
    wait_text(s, "console: standard output the console, standard error not")
    wait_text(s, error)
    wait_text(s, "服务器内存不足（java.lang.OutOfMemoryError）。")
    wait_text(s, "服务器将在 1 秒后重新启动，按任意键取消。")
    # Started again from the Java check, it fails again at once: not again.
    wait_text(s, "服务器在上次崩溃后不到 60 秒又崩溃了，不再重新启动")
    press_enter_on_box(display, "下载服务器", s)
    s.menu()
    s.child.send("3")
    s.finish()
    assert strip_escapes(s.output).count(error) == 2
    calls = logs["java"].read_bytes().decode("gbk").splitlines()[0::2]
    assert [c.split()[-1] for c in calls] == ["-version", "spigot-1.12.2.jar"] * 2
    assert not (server / "logs").exists()


def test_a_java_whose_version_never_ends_is_ended_under_wine(launch_wine, start, standins, display, tmp_path):
    env, logs, java = standins
    typed = f'"{java}"'
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    (server / "java").write_bytes(typed.encode("gbk") + b" \r\n")
    beats = tmp_path / "still running"  # while it exists, the stand-in's -version never ends
    beats.write_text("")
    s = launch_wine(start, env={**env, "VELLOMAR_JAVA_HANG": windows_path(beats)})
    start_server(s)
    wait_text(s, "该程序在 20 秒内没有结束，已将它结束。", timeout=90)
    # Ended, with cmd: it writes no more.
    size = beats.stat().st_size
    assert size > 0
    time.sleep(1.5)
    assert beats.stat().st_size == size
    beats.unlink()
    press_enter_on_box(display, "下载服务器", s)  # Yes: set the path again
    wait_text(s, "请输入Java(Java8)的路径(java.exe):")
    s.child.send(typed + "\r")
    wait_text(s, 'openjdk version "1.8.0_392"')
    s.menu()
    s.child.send("3")
    s.finish()
    assert (server / "java").read_bytes() == typed.encode("gbk") + b" \r\n"
    assert "服务器正在运行" not in strip_escapes(s.output)


def test_the_world_is_backed_up_before_a_start_under_wine(launch_wine, start, standins, display, tmp_path):
    env, logs, java = standins
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    (server / "java").write_bytes(f'"{java}" \r\n'.encode("gbk"))
    # As the server writes it: characters beyond ASCII escaped.
    (server / "server.properties").write_text(f"level-name=\\u6211\\u7684 world\nserver-port={free_port()}\n")
    name = "我的 world"
    # The end moved to another disk and linked back: backed up as what it
    # leads to, under its own name.
    moved = tmp_path / "other disk" / "the end"
    for folder in (server / name, moved):
        (folder / "region").mkdir(parents=True)
        (folder / "region" / "r.0.0.mca").write_bytes(b"region")
    (server / (name + "_the_end")).symlink_to(moved)
    s = launch_wine(start, env=env)
    s.menu()
    for run in range(3):
        if run == 2:
            # A change in what the link leads to is a change of the world.
            (moved / "region" / "r.0.0.mca").write_bytes(b"region, played")
        s.child.send("2")
        s.child.expect_exact("请输入要启动的服务器的编号:")
        s.child.send("1\r")
        wait_text(s, "不再备份。" if run == 1 else "stand-in server running")
        s.child.send("stop\r")
        # The box shows once the server has read the line and ended.
        press_enter_on_box(display, "下载服务器", s)
        s.menu()
    s.child.send("3")
    s.finish()

    backups = start / "vellomar" / "backups"
    made = sorted(os.listdir(backups))
    assert len(made) == 2 and all(re.fullmatch(r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d", one) for one in made)
    # Each zip is made in the backup's folder while it has its name in passing.
    assert logs["ps"].read_bytes() == b"".join(
        b"powershell Compress-Archive '" + folder.encode("gbk") + b"' '..\\backups\\." + stamp.encode() +
        b".new\\" + folder.encode("gbk") + b".zip'\n" for stamp in made for folder in (name, name + "_the_end"))
    for one in made:
        assert sorted(os.listdir(backups / one)) == ["manifest.txt", f"{name}.zip", f"{name}_the_end.zip"]
        assert (backups / one / "manifest.txt").read_bytes().split(b"\r\n")[2:] == [
            f"{name}.zip".encode("gbk"), f"{name}_the_end.zip".encode("gbk"), b""]
    # The second start found nothing changed.
    screen = strip_escapes(s.output)
    assert screen.count("正在备份世界……") == 2
    assert f"世界自上次备份（vellomar\\backups\\{made[0]}）以来没有变化，不再备份。" in screen


# Javas installed under Wine: the registry key that names each, in which
# view, its value, the folder it names, and what the Java says of itself.
INSTALLED = [
    ("HKLM\\SOFTWARE\\JavaSoft\\Java Runtime Environment\\1.8", "32", "JavaHome",
     "C:\\Program Files (x86)\\Java\\jre1.8.0_391",
     ("1.8", "1.8.0_391", "Java HotSpot(TM) Client VM", "x86", "32",
      'java version "1.8.0_391"\nJava(TM) SE Runtime Environment (build 1.8.0_391-b13)\n'
      "Java HotSpot(TM) Client VM (build 25.391-b13, mixed mode, sharing)")),
    ("HKLM\\SOFTWARE\\Eclipse Adoptium\\JRE\\8.0.392.8\\hotspot\\MSI", "64", "Path",
     "C:\\Program Files\\Eclipse Adoptium\\jre-8.0.392.8-hotspot\\",
     ("1.8", "1.8.0_392", "OpenJDK 64-Bit Server VM", "amd64", "64",
      'openjdk version "1.8.0_392"\nOpenJDK Runtime Environment (Temurin)(build 1.8.0_392-b08)\n'
      "OpenJDK 64-Bit Server VM (Temurin)(build 25.392-b08, mixed mode)")),
    ("HKCU\\SOFTWARE\\JavaSoft\\JDK\\17", "64", "JavaHome",
     "C:\\Program Files\\Java\\爪哇 jdk-17",
     ("17", "17.0.9", "OpenJDK 64-Bit Server VM", "amd64", "64",
      'openjdk version "17.0.9" 2023-10-17\nOpenJDK Runtime Environment Temurin-17.0.9+9 (build 17.0.9+9)\n'
      "OpenJDK 64-Bit Server VM Temurin-17.0.9+9 (build 17.0.9+9, mixed mode, sharing)")),
]
# A JAVA_HOME whose path cmd would change as it saves it: never listed.
PERCENT_HOME = "C:\\jdk%OS%8"
# A terminal wide enough for the list's lines.
WIDE = 120
# Shortcuts to the Java installed last, on PATH: never listed.
JAVAPATH = "C:\\Program Files\\Common Files\\Oracle\\Java\\javapath"


def in_prefix(env, windows):
    """Where a folder on drive C of the Wine prefix lies."""
    return os.path.join(env["WINEPREFIX"], "drive_c", *windows[3:].rstrip("\\").split("\\"))


@pytest.fixture
def installed_javas(build, wine_env):
    """The Javas of INSTALLED and the one in JAVAPATH, in the prefix and its
    registry until the test ends."""

    def wine_reg(*args):
        done = subprocess.run([WINE, "reg", *args], env=wine_env, capture_output=True, timeout=120)
        assert done.returncode == 0, done.stderr.decode(errors="replace")

    for key, view, value, home, (release, version, vm, arch, model, lines) in INSTALLED:
        wine_reg("add", key, "/v", value, "/d", home, "/f", f"/reg:{view}")
        folder = in_prefix(wine_env, home.rstrip("\\") + "\\bin")
        os.makedirs(folder)
        shutil.copy2(build / "tests" / "standins" / "java.exe", folder)
        # What it prints after "Property settings:", in text mode as Java
        # writes it (its line ends become CR LF).
        with open(os.path.join(folder, "java.properties"), "w", newline="") as f:
            f.write(f"    java.specification.version = {release}\n    java.version = {version}\n"
                    f"    java.vm.name = {vm}\n    os.arch = {arch}\n    sun.arch.data.model = {model}\n\n"
                    f"{lines}\n")
    for folder in (JAVAPATH, PERCENT_HOME + "\\bin"):
        os.makedirs(in_prefix(wine_env, folder))
        shutil.copy2(build / "tests" / "standins" / "java.exe", in_prefix(wine_env, folder))
    yield
    for key, view, *_ in INSTALLED:
        wine_reg("delete", key, "/f", f"/reg:{view}")
    for top in ("Program Files (x86)\\Java", "Program Files\\Eclipse Adoptium", "Program Files\\Java",
                "Program Files\\Common Files\\Oracle", PERCENT_HOME[3:]):
        shutil.rmtree(in_prefix(wine_env, "C:\\" + top))


def test_the_javas_installed_are_listed_under_wine(launch_wine, start, standins, installed_javas, display):
    env, logs, _ = standins
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_bytes(b"not really a jar")
    # Only the shortcuts' folder on PATH, and the server already extracted:
    # key 1 goes straight to the Java prompt.
    s = launch_wine(start, env={**env, "WINEPATH": JAVAPATH, "JAVA_HOME": PERCENT_HOME}, size=(ROWS, WIDE))
    s.menu()
    s.child.send("1")
    s.child.expect_exact("请选择要安装的服务器编号(红色的那个数字):")
    s.child.send("1\r")
    wait_text(s, "请输入Java(Java8)的路径(java.exe):")
    listed = ["找到以下 Java：",
              "  [1] Java 8（64 位）  C:\\Program Files\\Eclipse Adoptium\\jre-8.0.392.8-hotspot\\bin\\java.exe",
              "  [2] Java 8（32 位）  C:\\Program Files (x86)\\Java\\jre1.8.0_391\\bin\\java.exe",
              "  [3] Java 17（64 位） C:\\Program Files\\Java\\爪哇 jdk-17\\bin\\java.exe",
              "输入编号选择，或输入 java.exe 的路径。",
              "请输入Java(Java8)的路径(java.exe):"]
    screen = [line.rstrip() for line in render(s.output, columns=WIDE).display]
    top = next(y for y, line in enumerate(screen) if line.startswith("找到以下"))
    assert screen[top:top + len(listed)] == listed
    s.child.send("5\r")
    wait_text(s, "列表中没有编号 5。请输入列表中的编号，或 java.exe 的路径。")
    s.child.send("3\r")
    press_enter_on_box(display, "下载服务器", s)  # Yes: use Java 17 anyway
    s.menu()
    s.child.send("3")
    s.finish()
    chosen = "C:\\Program Files\\Java\\爪哇 jdk-17\\bin\\java.exe"
    assert (server / "java").read_bytes() == b'"' + chosen.encode("gbk") + b'" \r\n'
    # Each was checked once, the shortcut and the one with "%" never; none
    # ran again when chosen.
    checks = pathlib.Path(str(logs["java"]) + ".checks").read_bytes().decode("gbk").splitlines()[0::2]
    assert sorted(checks) == sorted(f'"{home.rstrip(chr(92))}\\bin\\java.exe" -XshowSettings:properties -version'
                                    for *_, home, _ in INSTALLED)
    assert not logs["java"].exists()
