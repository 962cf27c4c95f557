"""Key 2 end to end on Linux, with a real Java running the demo server: the
list line, the prompt, the server in the terminal, the closing notice."""

import contextlib
import io
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import zipfile

import pexpect
import pytest

from conftest import ARCHIVE, CLS, TITLE, strip_escapes

PROMPT = "\x1b[0;93m请输入要启动的服务器的编号:"
LINE = "1.启动1.12.2服务器\r\n"
RUNNING = "\x1b]0;服务器正在运行\x07"
JAVA = shutil.which("java")


def own_port(server):
    """Gives the server a port of its own, free now, in server.properties;
    returns it."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    (server / "server.properties").write_text(f"server-port={port}\n")
    return port


@pytest.fixture
def installed(start, demo_archive):
    """A start folder whose working folder holds the installed demo server,
    with a port of its own."""

    def make(java_file=(JAVA + " \n").encode()):
        server = start / "vellomar" / "1.12.2"
        server.mkdir(parents=True)
        zipfile.ZipFile(io.BytesIO(demo_archive)).extractall(server)
        own_port(server)
        if java_file is not None:
            (server / "java").write_bytes(java_file)
        return server

    return make


def choose_start(s, answer="1"):
    s.child.send("2")
    s.child.expect_exact(PROMPT)
    s.child.sendline(answer)


def server_runs_then_stops(s, stop="stop"):
    """The server comes up in the terminal, reads what is typed, and stops."""
    s.child.expect_exact('Done', timeout=30)
    s.child.sendline("list")
    s.child.expect_exact("players online")
    if stop == "ctrl-c":
        s.child.sendintr()
        s.child.expect_exact("Stopping the server (signal)")
    else:
        s.child.sendline(stop)
        s.child.expect_exact("Stopping the server (stop)")
    s.child.expect_exact("Saved")


def closing_notice(s):
    s.child.expect_exact("服务器已关闭!")
    # The launcher waits on the notice.
    with pytest.raises(pexpect.TIMEOUT):
        s.child.expect_exact("按3返回", timeout=1)
    s.child.send("\r")
    s.menu()


def cwd(s):
    return os.readlink(f"/proc/{s.child.pid}/cwd")


def leave(s):
    s.child.send("3")
    modes = s.finish()
    assert s.child.exitstatus == 0
    return modes


def test_line_is_red_when_not_installed(launch, start):
    s = launch(start)
    s.menu()
    choose_start(s, "x")
    s.menu()
    out = s.output
    assert CLS + "\x1b[0;91m" + LINE + PROMPT in out
    leave(s)


def test_line_is_green_when_installed_and_other_answers_return(launch, start, installed):
    installed()
    s = launch(start)
    s.menu()
    choose_start(s, " 1")
    s.menu()
    out = s.output
    assert CLS + "\x1b[0;91m\x1b[0;92m" + LINE + PROMPT in out
    # No clearing and no new title after the answer: straight to the next pass.
    after = out[out.index(PROMPT):]
    assert CLS not in after and RUNNING not in after
    leave(s)


def test_start_stop_start_again(launch, start, installed):
    server = installed()
    s = launch(start)
    s.menu()
    choose_start(s)
    server_runs_then_stops(s)
    assert RUNNING in s.output
    closing_notice(s)
    # The next pass sets the title back, and makes the working folder current
    # again once a key is read.
    assert s.output.rindex(f"\x1b]0;{TITLE}\x07") > s.output.rindex(RUNNING)
    s.child.send("x")
    s.menu()
    assert cwd(s) == str(start / "vellomar")
    assert (server / "world" / "level.txt").read_text() == "version=1.12.2\nsaves=1\n"
    # A second start reads its answer from the keyboard, and so does the server.
    choose_start(s)
    server_runs_then_stops(s)
    closing_notice(s)
    assert (server / "world" / "level.txt").read_text() == "version=1.12.2\nsaves=2\n"
    leave(s)


def test_ctrl_c_stops_the_server_and_the_launcher_carries_on(launch, start, installed):
    server = installed()
    s = launch(start)
    s.menu()
    choose_start(s)
    server_runs_then_stops(s, stop="ctrl-c")
    closing_notice(s)
    assert (server / "world" / "level.txt").exists()
    assert leave(s) == s.modes_before()


@pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_signal_while_the_server_runs_stops_it_then_ends_the_launcher(launch, start, installed, sig):
    server = installed()
    s = launch(start)
    s.menu()
    choose_start(s)
    s.child.expect_exact("Done", timeout=30)
    with open(f"/proc/{s.child.pid}/task/{s.child.pid}/children") as f:
        running = f.read().split()
    assert len(running) == 1
    s.child.kill(sig)
    # The server hears of it and saves its world; the launcher waits for it.
    s.child.expect_exact("Stopping the server (signal)")
    s.child.expect_exact("Saved")
    left = s.finish()
    assert s.child.signalstatus == sig
    assert left == s.modes_before()
    assert not os.path.exists(f"/proc/{running[0]}")
    assert (server / "world" / "level.txt").read_text() == "version=1.12.2\nsaves=1\n"
    assert "服务器已关闭!" not in s.output


# Notepad saves the file with a UTF-8 byte order mark and CR LF.
@pytest.mark.parametrize("head, end", [(b"", b" \n"), (b"\xef\xbb\xbf", b"\r\n")], ids=["as echo writes", "notepad"])
def test_command_runs_in_the_server_folder_with_the_jar(launch, start, installed, tmp_path, head, end):
    # A java that records how it was called, then runs the real one.
    recorder = tmp_path / "bin" / "java"
    recorder.parent.mkdir()
    log = tmp_path / "calls"
    recorder.write_text(f'#!/bin/sh\npwd > {log}\nprintf "%s\\n" "$@" >> {log}\nexec {JAVA} "$@"\n')
    recorder.chmod(0o755)
    server = installed(head + str(recorder).encode() + end)
    s = launch(start)
    s.menu()
    choose_start(s)
    server_runs_then_stops(s)
    closing_notice(s)
    leave(s)
    assert log.read_text().splitlines() == [str(server), "-jar", "spigot-1.12.2.jar"]


def test_java_path_with_blanks_typed_with_quotes(launch, start, dist_site, demo_archive, tmp_path):
    folder = tmp_path / "my java" / "bin"
    folder.mkdir(parents=True)
    (folder / "java").symlink_to(JAVA)
    dist_site.files[ARCHIVE] = demo_archive
    s = launch(start, env=dist_site.env)
    s.menu()
    s.child.send("1")
    s.child.expect_exact("(红色的那个数字):")
    s.child.sendline("1")
    s.child.expect_exact("(java.exe):", timeout=30)
    s.child.sendline(f'"{folder / "java"}"')
    s.java_taken()
    own_port(start / "vellomar" / "1.12.2")
    choose_start(s)
    server_runs_then_stops(s)
    closing_notice(s)
    leave(s)


@pytest.mark.parametrize("java_file, message", [
    (None, "找不到Java命令文件"),
    (b"", "Java命令文件中没有Java命令"),
    (b"   \n", "Java命令文件中没有Java命令"),
    pytest.param("no server folder", "服务器尚未安装，无法启动。请先按1安装服务器。", id="no server folder"),
])
def test_no_java_command_runs_nothing(launch, start, installed, java_file, message):
    if java_file == "no server folder":
        # A Java command file in the working folder is not the server's.
        (start / "vellomar").mkdir()
        (start / "vellomar" / "java").write_bytes((JAVA + " \n").encode())
    else:
        installed(java_file)
    s = launch(start)
    s.menu()
    choose_start(s)
    s.child.expect_exact(message)
    s.child.send("\r")
    s.menu()
    leave(s)
    assert RUNNING not in s.output and "服务器已关闭!" not in s.output


@pytest.mark.parametrize("saved, answer", [("removed", "no"), ("removed", "yes"), ("hanging", "no")])
def test_a_java_command_that_cannot_run_is_not_a_stopped_server(launch, start, installed, tmp_path, saved, answer):
    gone = tmp_path / saved / "java"  # a Java uninstalled since it was saved, or one whose -version never ends
    if saved == "hanging":
        gone.parent.mkdir()
        gone.write_text("#!/bin/sh\nexec sleep 600\n")
        gone.chmod(0o755)
    server = installed(f"{gone} \n".encode())
    calls = tmp_path / "calls"
    java8 = tmp_path / "java8" / "java"
    java8.parent.mkdir()
    # Answers -version, and -XshowSettings:properties -version, as Java 8
    # does; as the server, ends at once with a failure.
    java8.write_text(f"#!/bin/sh\nprintf '%s|%s\\n' \"$(pwd)\" \"$*\" >> {calls}\n"
                     "[ \"$1\" = -XshowSettings:properties ] && printf 'Property settings:\\n"
                     "    java.specification.version = 1.8\\n    os.arch = amd64\\n"
                     "    sun.arch.data.model = 64\\n\\n' >&2 && shift\n"
                     "[ \"$1\" = -version ] && { printf 'java version \"1.8.0_391\"\\n"
                     "Java(TM) SE Runtime Environment (build 1.8.0_391-b13)\\n"
                     "Java HotSpot(TM) 64-Bit Server VM (build 25.391-b13, mixed mode)\\n' >&2; exit 0; }\n"
                     "echo 'stand-in server'; exit 3\n")
    java8.chmod(0o755)
    s = launch(start)
    s.menu()
    choose_start(s)
    # cmd's own words, or the check's, stay on screen under the notice.
    if saved == "hanging":
        s.child.expect_exact("该程序在 20 秒内没有结束，已将它结束。", timeout=60)
    else:
        s.child.expect_exact(f"'{gone}' 不是内部或外部命令")
    assert (f"服务器无法启动：无法运行保存的Java命令{gone}（找不到该程序，或它不是可运行的Java）。"
            "要重新设置Java的路径吗？") in s.notice()
    s.child.send(answer[0])
    if answer == "yes":
        # The screen is cleared for the Javas found (or the line that says
        # there are none) and the prompt.
        s.child.expect_exact(CLS)
        s.child.expect(["输入编号选择，或输入 java.exe 的路径。\r\n", "没有找到可以运行的 Java。.*\r\n"])
        s.child.expect_exact("请输入Java(Java8)的路径(java.exe):")
        s.child.sendline(str(java8))
        s.child.expect_exact('java version "1.8.0_391"')
    s.menu()
    assert RUNNING not in s.output and "服务器已关闭!" not in s.output
    if answer == "no":
        assert (server / "java").read_bytes() == f"{gone} \n".encode()
        leave(s)
        return
    # The new command in place of the old one, as the echo form writes it.
    assert (server / "java").read_bytes() == f"{java8} \n".encode()
    # The next start runs it; a server that ran is closed whatever its status.
    choose_start(s)
    s.child.expect_exact("stand-in server")
    closing_notice(s)
    # It failed, and left no log that says why.
    assert "服务器异常结束（退出代码 3）。请查看上面的输出了解原因。" in s.output
    leave(s)
    assert calls.read_text().splitlines() == [f"{server}|-XshowSettings:properties -version", f"{server}|-version",
                                              f"{server}|-jar spigot-1.12.2.jar"]


def test_a_memory_setting_java_refuses_is_named(launch, start, installed):
    installed(f"{JAVA} -Xmx1Q \n".encode())
    s = launch(start)
    s.menu()
    choose_start(s)
    assert f"无法运行保存的Java命令{JAVA}-Xmx1Q（Java不接受其中的内存设置-Xmx1Q：" in s.notice()
    s.child.send("n")
    s.menu()
    leave(s)
    assert RUNNING not in s.output


# The name of this process, as the launcher reads it.
with open("/proc/self/comm") as f:
    COMM = f.read().strip()
EULA = b"#kept as it was\r\neula=false\r\nmotd=kept too\r\n"
CR_EULA = b"#kept as it was\reula=false\rmotd=keep me\r"
# Past the bound, eula=true at its end.
HUGE_EULA = b"#" * (2 << 20) + b"\neula=true\n"


@contextlib.contextmanager
def holding(kind, server, port):
    """The port held while the launcher starts: by a listener of this
    process, or by the server itself, started earlier by hand. Yields the
    holder's process id."""
    if kind is None:
        yield None
    elif kind == "listener":
        with socket.socket() as held:
            held.bind(("127.0.0.1", port))
            held.listen()
            yield os.getpid()
    elif kind == "python3":
        # Not a Java, though it runs in the server folder.
        listen = (f"import socket, sys\ns = socket.socket()\ns.bind(('127.0.0.1', {port}))\ns.listen()\n"
                  "print('up', flush=True)\nsys.stdin.read()\n")
        ran = subprocess.Popen(["python3", "-c", listen], cwd=server, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True)
        try:
            assert ran.stdout.readline() == "up\n"
            yield ran.pid
        finally:
            ran.kill()
            ran.wait()
    else:
        ran = subprocess.Popen([JAVA, "-jar", "spigot-1.12.2.jar"], cwd=server, stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        try:
            assert any("Done" in line for line in ran.stdout)
            yield ran.pid
        finally:
            ran.kill()
            ran.wait()


@pytest.mark.parametrize("held, eula, answer, typed, notice, said", [
    (None, None, None, "stop", None, None),
    (None, None, None, "crash", None, "服务器崩溃了。崩溃报告保存在：\n{server}/crash-reports/crash-"),
    (None, None, None, "oom", None, "服务器内存不足（java.lang.OutOfMemoryError）。\n请使用 64 位的 Java"),
    ("listener", None, "n", None, "服务器的端口{port}已被另一个程序占用：{comm}（进程{pid}）。", None),
    ("listener", None, "y", None, "服务器的端口{port}已被另一个程序占用",
     "服务器无法启动：端口 {port} 已被其他程序占用。\n请关闭占用它的程序"),
    ("server", None, "n", None, "服务器的端口{port}已被占用：占用它的正是这个服务器，之前启动后仍在运行（java，进程{pid}）",
     None),
    ("python3", None, "n", None, "服务器的端口{port}已被另一个程序占用：python3（进程{pid}）。", None),
    (None, (EULA, EULA.replace(b"=false", b"=true")), "y", "stop", "服务器需要您先同意它的最终用户许可协议", None),
    (None, (EULA, EULA), "n", None, "服务器需要您先同意它的最终用户许可协议", None),
    # Read as the server reads it: lines that end at CR alone, a line that goes on in the next.
    (None, (CR_EULA, CR_EULA.replace(b"=false", b"=true")), "y", "stop", "服务器需要您先同意它的最终用户许可协议", None),
    (None, (b"eula=true\rmotd=keep me\r",) * 2, None, "stop", None, None),
    (None, (b"eula=tr\\\n   ue\n",) * 2, None, "stop", None, None),
    (None, (EULA, EULA.replace(b"=false", b"=true"), 0o444), "y", "stop", "服务器需要您先同意它的最终用户许可协议", None),
    (None, (HUGE_EULA, HUGE_EULA), "\r", None, "服务器文件夹中的eula.txt超过1MB，无法检查其中是否已同意许可协议", None),
], ids=["clean stop", "crash", "out of memory", "port held, no", "port held, yes", "the same server runs, no",
        "a python3 in the server folder holds it", "eula false, yes", "eula false, no", "line ends CR alone, yes",
        "eula true, line ends CR alone", "eula true on a continued line", "eula false and read-only, yes",
        "eula.txt over the bound"])
def test_what_stops_the_server(launch, start, installed, held, eula, answer, typed, notice, said):
    server = installed()
    port = int((server / "server.properties").read_text().split("=")[1])
    if eula:
        (server / "eula.txt").write_bytes(eula[0])
        if eula[2:]:
            (server / "eula.txt").chmod(eula[2])
        mode = (server / "eula.txt").stat().st_mode & 0o777
    with holding(held, server, port) as pid:
        s = launch(start)
        s.menu()
        choose_start(s)
        if notice:
            assert notice.format(port=port, pid=pid, comm=COMM) in s.notice()
            s.child.send(answer)
        if answer in ("n", "\r"):
            s.menu()
            assert RUNNING not in s.output and "服务器已关闭!" not in s.output
        else:
            if typed:
                s.child.expect_exact("Done", timeout=30)
                s.child.sendline(typed)
            s.child.expect_exact("服务器已关闭!", timeout=30)
            s.child.send("\r")
            s.menu()
            shown = strip_escapes(s.output).replace("\r", "")
            # Between the server's last line and the notice, the explanation.
            after = shown[shown.rindex("[Server thread/"):shown.rindex("服务器已关闭!")]
            after = after[after.index("\n"):]
            if said:
                assert said.format(port=port, server=server) in after
            else:
                # Nothing but the escapes that open the notice's rows.
                assert re.sub(r"\x1b.", "", after.split("┌")[0]).strip() == "", after
        leave(s)
    if eula:
        assert (server / "eula.txt").read_bytes() == eula[1]
        # Its mode kept, and nothing left beside it.
        assert (server / "eula.txt").stat().st_mode & 0o777 == mode
        assert [n for n in os.listdir(server) if n.startswith(".eula.txt")] == []


BACKUP = re.compile(r"已备份到 vellomar/backups/(\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d)\r\n")


def files_under(folder):
    """Every file under folder, by its name relative to it, with its bytes."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def started_and_stopped(s):
    choose_start(s)
    server_runs_then_stops(s)
    closing_notice(s)


def test_the_world_is_backed_up_when_changed_and_five_are_kept(launch, start, installed, tmp_path):
    server = installed()
    # The demo server saves its own "world", which this level is not.
    port_line = (server / "server.properties").read_text()
    (server / "server.properties").write_text("#Minecraft server properties\nlevel-name=my world\n" + port_line)
    (server / "my world" / "region").mkdir(parents=True)
    (server / "my world" / "region" / "r.0.0.mca").write_bytes(os.urandom(300000))
    (server / "my world" / "level.dat").write_bytes(b"level " * 1000)
    (server / "my world_nether").mkdir()
    (server / "my world_nether" / "DIM-1.dat").write_bytes(b"nether")
    backups = start / "vellomar" / "backups"
    old = [f"2020-01-01_00-00-0{n}" for n in range(3)]
    for name in old:
        (backups / name).mkdir(parents=True)
        (backups / name / "manifest.txt").write_text("0-0 \n")
    worlds = {name: files_under(server / name) for name in ("my world", "my world_nether")}
    s = launch(start)
    s.menu()

    choose_start(s)
    s.child.expect_exact("正在备份世界……")
    s.child.expect(BACKUP)
    first = s.child.match.group(1)
    server_runs_then_stops(s)
    closing_notice(s)
    assert sorted(os.listdir(backups / first)) == ["manifest.txt", "my world.zip", "my world_nether.zip"]
    for name, files in worlds.items():
        restored = tmp_path / "restored" / first
        zipfile.ZipFile(backups / first / f"{name}.zip").extractall(restored)
        assert files_under(restored / name) == files

    # Nothing changed: one line, and no backup.
    started_and_stopped(s)
    assert f"世界自上次备份（vellomar/backups/{first}）以来没有变化，不再备份。\r\n" in s.output
    assert sorted(os.listdir(backups)) == old + [first]

    made = []
    for change in range(2):
        with open(server / "my world" / "level.dat", "ab") as f:
            f.write(b"changed")
        choose_start(s)
        s.child.expect(BACKUP)
        made.append(s.child.match.group(1))
        server_runs_then_stops(s)
        closing_notice(s)
    # The sixth removed the oldest.
    assert sorted(os.listdir(backups)) == old[1:] + [first] + made
    leave(s)


@contextlib.contextmanager
def small_disk():
    """What starts meanwhile can write no file past 100 kB, as on a nearly full disk."""
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, limits[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)


@pytest.mark.parametrize("cause, answer", [("backups is a file", "yes"), ("full disk", "no")])
def test_a_failed_backup_asks_whether_to_start(launch, start, installed, cause, answer):
    server = installed()
    (server / "world").mkdir()
    (server / "world" / "level.dat").write_bytes(os.urandom(300000))
    backups = start / "vellomar" / "backups"
    if cause == "backups is a file":
        backups.write_bytes(b"not a folder")
        s = launch(start)
    else:
        with small_disk():
            s = launch(start)
    s.menu()
    choose_start(s)
    s.child.expect_exact("世界备份失败，没有留下不完整的备份。")
    assert "世界备份失败。仍要启动服务器吗？" in s.notice()
    s.child.send(answer[0])
    if answer == "yes":
        server_runs_then_stops(s)
        closing_notice(s)
        assert backups.read_bytes() == b"not a folder"
    else:
        s.menu()
        assert RUNNING not in s.output and "Starting server" not in s.output
        assert "磁盘空间不足" in s.output
        # Nothing half-written stays behind, not even the backup's folder.
        assert os.listdir(backups) == []
    leave(s)
