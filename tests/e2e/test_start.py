"""Key 2 end to end on Linux, with a real Java running the demo server: the
list line, the prompt, the server in the terminal, the closing notice."""

import io
import os
import shutil
import signal
import zipfile

import pexpect
import pytest

from conftest import ARCHIVE, CLS, TITLE

PROMPT = "\x1b[0;93m请输入要启动的服务器的编号:"
LINE = "1.启动1.12.2服务器\r\n"
RUNNING = "\x1b]0;服务器正在运行\x07"
JAVA = shutil.which("java")


@pytest.fixture
def installed(start, demo_archive):
    """A start folder whose working folder holds the installed demo server."""

    def make(java_file=(JAVA + " \n").encode()):
        server = start / "vellomar" / "1.12.2"
        server.mkdir(parents=True)
        zipfile.ZipFile(io.BytesIO(demo_archive)).extractall(server)
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


@pytest.mark.parametrize("answer", ["no", "yes"])
def test_a_java_command_that_cannot_run_is_not_a_stopped_server(launch, start, installed, tmp_path, answer):
    gone = tmp_path / "removed" / "java"  # a Java uninstalled since it was saved
    server = installed(f"{gone} \n".encode())
    calls = tmp_path / "calls"
    java8 = tmp_path / "java8" / "java"
    java8.parent.mkdir()
    # Answers -version as Java 8 does; as the server, ends at once with a failure.
    java8.write_text(f"#!/bin/sh\nprintf '%s|%s\\n' \"$(pwd)\" \"$*\" >> {calls}\n"
                     "[ \"$1\" = -version ] && { echo 'java version \"1.8.0_392\"' >&2; exit 0; }\n"
                     "echo 'stand-in server'; exit 3\n")
    java8.chmod(0o755)
    s = launch(start)
    s.menu()
    choose_start(s)
    # cmd's own words stay on screen under the notice.
    s.child.expect_exact(f"'{gone}' 不是内部或外部命令")
    assert (f"服务器无法启动：无法运行保存的Java命令{gone}（找不到该程序，或它不是可运行的Java）。"
            "要重新设置Java的路径吗？") in s.notice()
    s.child.send(answer[0])
    if answer == "yes":
        s.child.expect_exact(CLS + "请输入Java(Java8)的路径(java.exe):")
        s.child.sendline(str(java8))
        s.child.expect_exact('java version "1.8.0_392"')
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
    leave(s)
    assert calls.read_text().splitlines() == [f"{server}|-version", f"{server}|-version",
                                              f"{server}|-jar spigot-1.12.2.jar"]
