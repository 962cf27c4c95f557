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
    # The next start runs it; a server that ran is closed whatever its status,
    # here once the start again it failing brings is cancelled.
    choose_start(s)
    s.child.expect_exact("stand-in server")
    s.child.expect_exact("秒后重新启动，按任意键取消。")
    s.child.send("x")
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


COUNTDOWN = "服务器将在 10 秒后重新启动，按任意键取消。"
ELSEWHERE = "203.0.113.250"  # an address of no computer here


def friends_line(port):
    """Where friends connect, from the addresses `ip` lists: the non-loopback
    IPv4 ones, the local network's first."""
    listed = subprocess.run(["ip", "-o", "-4", "addr", "show", "up"], capture_output=True, text=True,
                            check=True).stdout
    ips = [m.group(1) for m in re.finditer(r"inet (\d+\.\d+\.\d+\.\d+)/", listed)
           if not m.group(1).startswith("127.")]
    if not ips:
        return f"这台电脑没有连接到网络，只有这台电脑上的程序可以连接服务器：127.0.0.1:{port}"
    private = re.compile(r"^(10\.|192\.168\.|172\.(1[6-9]|2\d|3[01])\.)")
    ips = list(dict.fromkeys(sorted(ips, key=lambda ip: 0 if private.match(ip) else 2 if ip.startswith("169.254.") else 1)))
    return "朋友可以用以下地址连接服务器：" + "、".join(f"{ip}:{port}" for ip in ips)


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
    ("127.0.0.1", None, None, "stop", None, None),
    (ELSEWHERE, None, "y", None, f"server.properties中的server-ip（{ELSEWHERE}）不是这台电脑的地址，服务器将无法启动。",
     f"服务器无法启动：server.properties 中的 server-ip（{ELSEWHERE}）不是这台电脑的地址。\n"),
    (ELSEWHERE, None, "n", None, "不是这台电脑的地址", None),
], ids=["clean stop", "crash", "out of memory", "port held, no", "port held, yes", "the same server runs, no",
        "a python3 in the server folder holds it", "eula false, yes", "eula false, no", "line ends CR alone, yes",
        "eula true, line ends CR alone", "eula true on a continued line", "eula false and read-only, yes",
        "eula.txt over the bound", "server-ip loopback", "server-ip elsewhere, yes", "server-ip elsewhere, no"])
def test_what_stops_the_server(launch, start, installed, held, eula, answer, typed, notice, said):
    server = installed()
    port = int((server / "server.properties").read_text().split("=")[1])
    if held and held[0].isdigit():
        with open(server / "server.properties", "a") as f:
            f.write(f"server-ip={held}\n")
        held = None
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
            crashed = typed in ("crash", "oom")
            if crashed:
                # A crash: the reason, then the countdown, which a key cancels.
                s.child.expect_exact(COUNTDOWN, timeout=30)
                s.child.expect_exact("9 秒后", timeout=3)
                s.child.send("x")
            s.child.expect_exact("服务器已关闭!", timeout=30)
            s.child.send("\r")
            s.menu()
            shown = strip_escapes(s.output).replace("\r", "")
            # Just before the server, where friends connect.
            before = shown[:shown.rindex("\n", 0, shown.index("Starting server version"))].rstrip().split("\n")
            text = open(server / "server.properties").read()
            router = (f"局域网外的朋友需要路由器把端口 {port} 转发到这台电脑（或这台电脑有公网地址）；"
                      "同一局域网中的朋友不需要别的设置。")
            if "127.0.0.1" in text:
                lines = [f"server-ip 是 127.0.0.1，只有这台电脑上的程序可以连接服务器：127.0.0.1:{port}"]
            elif ELSEWHERE in text:
                lines = [f"朋友可以用这个地址连接服务器：{ELSEWHERE}:{port}", router]
            else:
                lines = [friends_line(port)] + ([router] if "以下地址" in friends_line(port) else [])
            # (after a notice, the line starts where the notice's rows were)
            assert before[-1] == lines[-1] and before[-len(lines)].endswith(lines[0]), before[-2:]
            # Between the server's last line and the notice, the explanation.
            after = shown[shown.rindex("[Server thread/"):shown.rindex("服务器已关闭!")]
            after = after[after.index("\n"):]
            assert ("重新启动" in after) == crashed, after
            if said:
                assert said.format(port=port, server=server) in after
            else:
                # Nothing but the escapes that open the notice's rows.
                assert re.sub(r"\x1b.", "", after.split("┌")[0]).strip() == "", after
            # Cancelled: the server ran once.
            assert shown.count("Starting server version") == 1
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
    # Backups of an earlier form, named in the future (the clock was set back
    # since), and what the user keeps there under names of the same form.
    old = [f"2099-01-01_00-00-0{n}" for n in range(3)]
    for name in old:
        (backups / name).mkdir(parents=True)
        (backups / name / "manifest.txt").write_text("0-0 \n")
        (backups / name / "my world.zip").write_bytes(b"zip")
    users = {"2000-01-01_00-00-00/notes.txt": b"mine", "2000-01-02_00-00-00": b"a file of mine"}
    for name, data in users.items():
        (backups / name).parent.mkdir(parents=True, exist_ok=True)
        (backups / name).write_bytes(data)
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
    assert sorted(os.listdir(backups)) == sorted(["2000-01-01_00-00-00", "2000-01-02_00-00-00", *old, first])

    made = []
    for change in range(2):
        with open(server / "my world" / "level.dat", "ab") as f:
            f.write(b"changed")
        choose_start(s)
        s.child.expect(BACKUP)
        made.append(s.child.match.group(1))
        server_runs_then_stops(s)
        closing_notice(s)
    # The sixth removed the one made first, and nothing of the user's went.
    assert sorted(os.listdir(backups)) == sorted(["2000-01-01_00-00-00", "2000-01-02_00-00-00", *old[1:], first,
                                                  *made])
    assert {name: (backups / name).read_bytes() for name in users} == users
    assert "目录名称无效" not in s.output
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


def server_fixture(tmp_path, log="", err="", status=0, crashes=0, seconds=0):
    """A Java command that stands in for the server: asked for -version, it
    answers as Java 8 does. As the server, it says whether its input and
    output are the terminal and its standard error is not, writes `log` to its
    console and logs/latest.log, then `err` to standard error. On its first
    `crashes` starts it sleeps the seconds first, and then writes a crash
    report and names it, as the server does. It ends with status. Returns its
    path and the file that counts its starts."""
    runs = tmp_path / "runs"
    (tmp_path / "log.txt").write_text(log)
    (tmp_path / "err.txt").write_text(err)
    script = tmp_path / "fixture" / "java"
    script.parent.mkdir()
    script.write_text(f"""#!/bin/sh
[ "$1" = -version ] && {{ printf 'java version "1.8.0_392"\nJava HotSpot(TM) 64-Bit Server VM\n' >&2; exit 0; }}
n=$(( $(cat {runs} 2>/dev/null || echo 0) + 1 )); echo $n > {runs}
[ -t 0 ] && [ -t 1 ] && ! [ -t 2 ] && echo "console: terminal; errors: not"
mkdir -p logs crash-reports
[ $n -le {crashes} ] && sleep {seconds}
tee logs/latest.log < {tmp_path / "log.txt"}
cat {tmp_path / "err.txt"} >&2
if [ $n -le {crashes} ]; then
  r=crash-reports/crash-$n-server.txt
  printf -- '---- Minecraft Crash Report ----\\nDescription: Exception in server tick loop\\n' > $r
  echo "[21:49:13] [Server thread/ERROR]: This crash report has been saved to: $(pwd)/./$r" | tee -a logs/latest.log
fi
exit {status}
""")
    script.chmod(0o755)
    return script, runs


WATCHDOG = """[03:12:44] [Spigot Watchdog Thread/ERROR]: ------------------------------
[03:12:44] [Spigot Watchdog Thread/ERROR]: The server has stopped responding! This is (probably) not a Spigot bug.
[03:12:44] [Spigot Watchdog Thread/ERROR]: If you see a plugin in the Server thread dump below, then please report it to that author
[03:12:44] [Spigot Watchdog Thread/ERROR]: \t *Especially* if it looks like HTTP or MySQL operations are occurring
[03:12:44] [Spigot Watchdog Thread/ERROR]: Server thread dump (Look for plugins here before reporting to Spigot!):
[03:12:44] [Spigot Watchdog Thread/ERROR]: ------------------------------
[03:12:44] [Spigot Watchdog Thread/ERROR]: Current Thread: Server thread
[03:12:44] [Spigot Watchdog Thread/ERROR]: \tPID: 21 | Suspended: false | Native: false | State: TIMED_WAITING
[03:12:44] [Spigot Watchdog Thread/ERROR]: \t\tjava.lang.Thread.sleep(Native Method)
[03:12:46] [Server Shutdown Thread/INFO]: Stopping server
"""
LEVEL = """[21:49:13] [Server thread/INFO]: Preparing level "world"
[21:49:13] [Server thread/WARN]: Exception reading ./world/level.dat
java.io.EOFException: Unexpected end of ZLIB input stream
\tat java.util.zip.InflaterInputStream.fill(InflaterInputStream.java:240)
\tat net.minecraft.server.v1_12_R1.NBTCompressedStreamTools.a(NBTCompressedStreamTools.java:15)
[21:49:14] [Server thread/INFO]: Preparing start region for level 0 (Seed: 4325342311531)
[21:50:02] [Server thread/INFO]: Stopping server
"""
ENABLING = """[21:49:13] [Server thread/INFO]: [Essentials] Enabling Essentials v2.17.1.0
[21:49:13] [Server thread/ERROR]: Error occurred while enabling Essentials v2.17.1.0 (Is it up to date?)
java.lang.NoSuchMethodError: org.bukkit.Server.getOnlinePlayers()Ljava/util/Collection;
\tat com.earth2me.essentials.Essentials.onEnable(Essentials.java:245) ~[?:?]
[21:50:02] [Server thread/INFO]: Stopping server
"""
THREADS = """Exception in thread "Server thread" java.lang.OutOfMemoryError: unable to create native thread: possibly out of memory or process/resource limits reached
\tat java.base/java.lang.Thread.start0(Native Method)
\tat java.base/java.lang.Thread.start(Thread.java:809)
"""
HEAP = 'Exception in thread "main" java.lang.OutOfMemoryError: Java heap space\n\tat Server.main(Server.java:1)\n'


@pytest.mark.parametrize("log, err, status, said, again", [
    (WATCHDOG, "", 0, "服务器停止了响应，被它的看门狗（watchdog）结束，结束时世界没有保存。", True),
    (LEVEL, "", 0, "服务器无法读取世界的 ./world/level.dat，这个文件已损坏；服务器可能因此新建了一个空的世界。\n"
     "请恢复最新的备份 vellomar/backups/{backup}（", False),
    (ENABLING, "", 0, "插件 Essentials v2.17.1.0 启用失败。", False),
    ("", THREADS, 1, "服务器无法再创建线程（java.lang.OutOfMemoryError: unable to create native thread）", True),
    ("", HEAP, 1, "服务器内存不足（java.lang.OutOfMemoryError）。", True),
], ids=["watchdog", "level.dat", "enabling", "threads", "heap in main"])
def test_why_the_server_stopped(launch, start, installed, tmp_path, log, err, status, said, again):
    java, runs = server_fixture(tmp_path, log, err, status)
    server = installed(f"{java} \n".encode())
    (server / "world").mkdir()
    (server / "world" / "level.dat").write_bytes(b"\x1f\x8b damaged")
    s = launch(start)
    s.menu()
    choose_start(s)
    s.child.expect(BACKUP, timeout=30)
    backup = s.child.match.group(1)
    if again:
        s.child.expect_exact(COUNTDOWN, timeout=30)
        s.child.send("x")
    s.child.expect_exact("服务器已关闭!", timeout=30)
    shown = strip_escapes(s.output).replace("\r", "")
    # The server's console is the terminal; only its standard error is read,
    # and it still shows, after what the server wrote before it.
    assert "console: terminal; errors: not" in shown
    if err:
        assert shown.index(err.splitlines()[-1]) > shown.index("console: terminal")
    assert said.format(backup=backup) in shown
    # The world is at risk: the newest backup is named.
    assert (f"vellomar/backups/{backup}" in shown[shown.index("console:"):]) == (log in (WATCHDOG, LEVEL))
    assert runs.read_text() == "1\n"
    s.child.send("\r")
    s.menu()
    leave(s)


def patched_major(jar, major):
    """The demo jar with its main class marked as compiled for a newer Java."""
    with zipfile.ZipFile(jar) as z:
        entries = {name: z.read(name) for name in z.namelist()}
    for name, data in entries.items():
        if name.endswith(".class"):
            entries[name] = data[:6] + major.to_bytes(2, "big") + data[8:]
    with zipfile.ZipFile(jar, "w") as z:
        for name, data in entries.items():
            z.writestr(name, data)


@pytest.mark.parametrize("jar, said", [
    ("missing", "服务器无法启动：Java 找不到服务器的 jar 文件 spigot-1.12.2.jar。\n请按1：继续安装会补上服务器文件夹中缺少的文件。"),
    ("damaged", "服务器无法启动：服务器的 jar 文件 spigot-1.12.2.jar 已损坏，Java 无法读取它。"),
    ("too new", "Java 版本太旧，无法运行 Server（需要 Java 21 或更高版本）。"),
    ("fatal", "Java 自身出错，崩溃了（A fatal error has been detected by the Java Runtime Environment）。\n"
     "错误报告保存在：\n{server}/hs_err_pid{pid}.log"),
], ids=["missing", "damaged", "too new", "fatal"])
def test_what_java_itself_says(launch, start, installed, jar, said):
    """The machine's Java, with the demo server's jar missing, damaged, built
    for a newer Java, or crashing."""
    server = installed()
    jarfile = server / "spigot-1.12.2.jar"
    if jar == "missing":
        jarfile.unlink()
    elif jar == "damaged":
        jarfile.write_bytes(b"PK\x03\x04 not a whole archive")
    elif jar == "too new":
        patched_major(jarfile, 65)
    s = launch(start)
    s.menu()
    choose_start(s)
    pid = None
    if jar == "fatal":
        s.child.expect_exact("Done", timeout=30)
        with open(f"/proc/{s.child.pid}/task/{s.child.pid}/children") as f:
            pid = int(f.read().split()[0])
        os.kill(pid, signal.SIGSEGV)
        s.child.expect_exact(COUNTDOWN, timeout=30)
        s.child.send("x")
    s.child.expect_exact("服务器已关闭!", timeout=30)
    shown = strip_escapes(s.output).replace("\r", "")
    assert said.format(server=server, pid=pid) in shown
    assert ("重新启动" in shown) == (jar == "fatal")
    s.child.send("\r")
    s.menu()
    leave(s)


def test_a_crashed_server_is_started_again_until_it_crashes_at_once(launch, start, installed, tmp_path):
    java, runs = server_fixture(tmp_path, "[21:49:13] [Server thread/INFO]: Done (1.2s)!\n", crashes=5)
    installed(f"{java} \n".encode())
    s = launch(start, env={"VELLOMAR_TEST_RESTART": "1 30"})
    s.menu()
    choose_start(s)
    s.child.expect_exact("服务器将在 1 秒后重新启动，按任意键取消。", timeout=30)
    # The start runs again from the Java check: the Java, the backup's line,
    # the address, the server.
    s.child.expect_exact('java version "1.8.0_392"', timeout=30)
    s.child.expect_exact("连接服务器：")
    s.child.expect_exact("console: terminal")
    s.child.expect_exact("服务器在上次崩溃后不到 30 秒又崩溃了，不再重新启动：它一直在崩溃，原因见上面的说明。",
                         timeout=30)
    s.child.expect_exact("服务器已关闭!")
    assert runs.read_text() == "2\n"
    shown = strip_escapes(s.output)
    assert shown.count("服务器崩溃了。崩溃报告保存在：") == 2
    s.child.send("\r")
    s.menu()
    leave(s)


def test_crashes_further_apart_are_each_started_again(launch, start, installed, tmp_path):
    # Each run lasts longer than the window: 1.2 s against 1 s.
    java, runs = server_fixture(tmp_path, crashes=2, seconds=1.2)
    installed(f"{java} \n".encode())
    s = launch(start, env={"VELLOMAR_TEST_RESTART": "1 1"})
    s.menu()
    choose_start(s)
    s.child.expect_exact("服务器已关闭!", timeout=60)
    assert runs.read_text() == "3\n"
    shown = strip_escapes(s.output)
    assert shown.count("服务器将在 1 秒后重新启动，按任意键取消。") == 2
    assert "不再重新启动" not in shown
    s.child.send("\r")
    s.menu()
    leave(s)
