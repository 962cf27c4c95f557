"""The main menu of the Linux build, driven through a pseudo-terminal."""

import os
import signal
import subprocess
import termios

import pytest

from conftest import (ARCHIVE, COLS, ENTER_SCREEN, LEAVE_SCREEN, MENU, ROWS, TITLE, Session, close_all,
                      picture, render, run_without_terminal, spawn_in_pty, strip_escapes, term_env)

PUSH_TITLE = "\x1b[22;0t"
SET_TITLE = f"\x1b]0;{TITLE}\x07"
HOME = "\x1b[1;1H"
YELLOW = "\x1b[0;93m"
RESET = "\x1b[0m"
POP_TITLE = "\x1b[23;0t"
# What the launcher writes last: the user's screen back, then the colour and title.
END = LEAVE_SCREEN + RESET + POP_TITLE
# The menu as the terminal receives it: the pty turns each line end into CR LF.
MENU_TEXT = "".join(line + "\r\n" for line in MENU)
# What cmd says when a program is missing.
NOT_FOUND = "不是内部或外部命令"
INSTALL_PROMPT = "请选择要安装的服务器编号(红色的那个数字):"
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"


def quit_with_3(session):
    """Presses 3 at the menu and returns the terminal modes the launcher left."""
    session.key_awaited()
    session.child.send("3")
    left = session.finish()
    assert (session.child.exitstatus, session.child.signalstatus) == (0, None)
    return left


def test_first_pass_sets_title_homes_runs_banner_then_yellow_menu(launch, start, version):
    s = launch(start)
    s.menu()
    out = s.output
    head = ENTER_SCREEN + PUSH_TITLE + SET_TITLE + HOME
    assert out.startswith(head)
    assert out.endswith(YELLOW + MENU_TEXT)
    banner = out[len(head) : -len(YELLOW + MENU_TEXT)]
    # The banner shows in the colour the terminal had: no colour is set before it.
    assert "\x1b" not in banner
    assert f"vellomar {version}" in banner
    assert "1.12.2" in banner


@pytest.mark.parametrize(
    "key, passes",
    [("x", 1), ("\r", 1), (" ", 1), ("0", 1), ("\x1b[A", 2), ("\x1bOP", 2),
     # A whole escape sequence is one key, its digits no menu keys: a modifier
     # held with an arrow is dropped, any other sequence chooses nothing.
     ("\x1b[1;5A", 2), ("\x1b[1;2C", 2), ("\x1b[25~", 1), ("\x1b[2J", 1), ("\x1b", 1),
     ("\x1b1", 1), ("\x1b[1;3", 1)],
    ids=["letter", "enter", "space", "digit 0", "arrow up", "F1", "ctrl+up", "shift+right",
         "F13", "erase display", "escape", "alt+1", "cut short"],
)
def test_other_key_draws_the_whole_menu_again_without_echo(launch, start, key, passes):
    s = launch(start)
    s.menu()
    screen = s.output[len(ENTER_SCREEN + PUSH_TITLE) :]
    s.key_awaited()
    waiting = s.modes()
    # One key chooses: no line mode, no echo while the key is awaited.
    assert not waiting[3] & (termios.ICANON | termios.ECHO)
    s.child.send(key)
    # A two-code key (arrow, function key) makes two passes that choose nothing.
    s.menu(passes)
    left = quit_with_3(s)
    # Every pass repeats title, cursor home, banner and yellow menu, and the
    # key shows nowhere; the screen is taken once and given back once, and
    # the title pushed once and popped once.
    assert s.output == ENTER_SCREEN + PUSH_TITLE + screen * (1 + passes) + END
    assert left == s.modes_before()


@pytest.mark.parametrize("existing", [False, True], ids=["working folder missing", "working folder there"])
def test_key_3_leaves_with_0_after_making_the_working_folder(launch, start, existing):
    work = start / "vellomar"
    if existing:
        work.mkdir()
        (work / "keep.txt").write_text("kept\n")
    s = launch(start)
    s.menu()
    left = quit_with_3(s)
    # Nothing after the menu but putting the terminal back: no echo, no message.
    assert s.output.endswith(MENU_TEXT + END)
    assert left == s.modes_before()
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert work.is_dir()
    assert os.listdir(work) == (["keep.txt"] if existing else [])


@pytest.mark.parametrize(
    "how, sig",
    [("ctrl-c", signal.SIGINT), ("kill", signal.SIGTERM), ("kill", signal.SIGHUP)],
    ids=["ctrl-c", "SIGTERM", "SIGHUP"],
)
def test_signal_at_the_menu_restores_the_terminal_then_ends_by_it(launch, start, how, sig):
    s = launch(start)
    s.menu()
    s.key_awaited()
    before = s.modes_before()
    # The key wait really changed the modes, so putting them back is tested.
    assert s.modes() != before
    if how == "ctrl-c":
        s.child.send("\x03")
    else:
        s.child.kill(sig)
    left = s.finish()
    assert s.child.signalstatus == sig
    assert left == before
    assert left[3] & termios.ICANON and left[3] & termios.ECHO
    assert s.output.endswith(MENU_TEXT + END)


@pytest.mark.parametrize(
    "steps, status, sig",
    [(["3"], 0, None), (["\x03"], None, signal.SIGINT), (["kill"], None, signal.SIGTERM),
     # Continuing after a stop takes the screen again, empty, and the menu is
     # drawn on it anew (with no shell to stop for, the program goes straight on).
     (["\x1a", "3"], 0, None)],
    ids=["key 3", "ctrl-c", "SIGTERM", "ctrl-z then 3"],
)
def test_the_menu_has_a_screen_of_its_own_and_the_shells_comes_back(build, start, steps, status, sig):
    banner = subprocess.run([build / "out_put_ver.exe"], capture_output=True, text=True, check=True).stdout
    child, log = spawn_in_pty("/bin/sh", ["-c", f'printf "earlier line 1\\nearlier line 2\\n"; exec "{build}/vellomar"'],
                              cwd=str(start), env=term_env({"LANG": "C.UTF-8"}))
    s = Session(child, log)
    try:
        s.menu()
        out = s.output
        shell = render(out[: out.index(ENTER_SCREEN)])
        assert shell.display[:2] == [f"earlier line {i}".ljust(COLS) for i in (1, 2)]
        # The first menu on an empty screen: the banner and the menu, nothing else.
        shown = banner.splitlines() + list(MENU)
        first = render(out)
        assert first.alternate
        assert [row.rstrip() for row in first.display] == shown + [""] * (ROWS - len(shown))
        s.key_awaited()
        for step in steps:
            if step == "kill":
                s.child.kill(sig)
            else:
                s.child.send(step)
            if step == "\x1a":
                s.menu()
                again = render(s.output)
                assert again.alternate
                assert [row.rstrip() for row in again.display] == shown + [""] * (ROWS - len(shown))
                s.key_awaited()
        s.finish()
        assert (s.child.exitstatus, s.child.signalstatus) == (status, sig)
        # The shell's screen is back as it was, the cursor where it was.
        last = render(s.output)
        assert not last.alternate
        assert picture(last) == picture(shell)
    finally:
        close_all([child])


@pytest.mark.parametrize(
    "data, passes",
    [(b"x3", 2), (b"x", 2), (b"", 1), (b"3x", 1)],
    ids=["other key then 3", "end after other key", "end at once", "3 ends before the rest"],
)
def test_without_a_terminal_keys_come_from_standard_input(build, start, data, passes):
    done = run_without_terminal(build, start, data)
    assert done.returncode == 0
    out = done.stdout.decode("utf-8")
    # Output is not a terminal: plain text, no escape sequences.
    assert "\x1b" not in out
    assert out.count(MENU[-1]) == passes
    assert out.endswith("".join(line + "\n" for line in MENU))
    if data:
        assert (start / "vellomar").is_dir()


@pytest.mark.parametrize("writes", [["11\r"], ["11", "\r"]], ids=["in one write", "line end later"])
def test_keys_typed_ahead_answer_the_prompt_after_the_key(launch, start, dist_site, demo_archive, writes):
    dist_site.files[ARCHIVE] = demo_archive
    s = launch(start, env=dist_site.env)
    s.menu()
    s.key_awaited()
    s.child.send(writes[0])
    # The first 1 chooses the installation; the rest is the answer, echoed
    # when the prompt takes it.
    s.child.expect_exact(INSTALL_PROMPT + "1")
    for more in writes[1:]:
        s.child.send(more)
    s.child.expect_exact("正在安装中", timeout=30)
    s.child.expect_exact(JAVA_PROMPT, timeout=30)
    s.child.sendline("/usr/bin/java")
    s.java_taken()
    quit_with_3(s)
    out = s.output
    assert out.count(INSTALL_PROMPT) == 1
    assert INSTALL_PROMPT + "1\r\n" in out
    assert (start / "vellomar" / "1.12.2" / "java").read_bytes() == b"/usr/bin/java \n"


def test_missing_banner_program_shows_cmds_message_and_the_menu(launch, make_start):
    folder = make_start(banner=False)
    s = launch(folder)
    s.menu()
    out = s.output
    shown = strip_escapes(out)
    assert NOT_FOUND in shown
    message = next(line for line in shown.splitlines() if NOT_FOUND in line)
    assert "out_put_ver.exe" in message
    assert out.index(NOT_FOUND) < out.index(YELLOW + MENU_TEXT)
    quit_with_3(s)
    assert sorted(os.listdir(folder)) == ["vellomar"]


@pytest.mark.parametrize("name", ["start folder", "服务器 目录"])
def test_start_folder_with_a_blank_in_its_path(launch, make_start, version, name):
    folder = make_start(name)
    s = launch(folder)
    s.menu()
    assert f"vellomar {version}" in s.output
    assert NOT_FOUND not in s.output
    quit_with_3(s)
    # The working folder is made whole, not split at the blank into two folders.
    assert sorted(os.listdir(folder)) == ["out_put_ver.exe", "vellomar"]
    assert os.listdir(folder.parent) == [name]


def test_banner_program_is_the_one_in_the_start_folder(launch, make_start):
    folder = make_start(banner=False)
    fake = folder / "out_put_ver.exe"
    fake.write_text('#!/bin/sh\necho "banner run in $PWD"\n')
    fake.chmod(0o755)
    s = launch(folder)
    s.menu()
    s.key_awaited()
    s.child.send("x")
    s.menu()
    out = strip_escapes(s.output)
    # Not the banner beside the launcher in the build folder.
    assert "1.12.2" not in out
    # The first pass runs it in the start folder, later ones in the working folder.
    assert f"banner run in {folder}\r\n" in out
    assert f"banner run in {folder / 'vellomar'}\r\n" in out
    quit_with_3(s)


@pytest.mark.parametrize(
    "name, what",
    [("back\\slash", "反斜杠 \\"), ('double"quote', '双引号 "'), ("tab\there", "控制字符（制表符）")],
    ids=["backslash", "double quote", "tab"],
)
def test_start_folder_whose_path_cmd_cannot_carry_is_refused(launch, make_start, name, what):
    folder = make_start(name)
    s = launch(folder)
    s.child.expect_exact("启动文件夹的路径中含有" + what)
    left = s.finish()
    assert s.child.exitstatus not in (0, None)
    assert left == s.modes_before()
    assert MENU[0] not in s.output
    # Nothing made: not in the start folder, not beside it, not in a tree
    # the path would name if the character were read as cmd reads it.
    assert os.listdir(folder) == ["out_put_ver.exe"]
    assert os.listdir(folder.parent) == [name]


def test_working_folder_that_cannot_be_made_runs_no_flow(launch, start):
    (start / "vellomar").write_text("a file, not the working folder\n")
    s = launch(start)
    for key in "12":
        s.menu()
        s.key_awaited()
        s.child.send(key)
        s.child.expect_exact("无法创建或进入工作文件夹 vellomar")
        s.child.send("\r")
    s.menu()
    quit_with_3(s)
    # No prompt was shown, and nothing was installed in the start folder.
    assert "请选择要安装的服务器编号" not in s.output and "请输入要启动的服务器的编号" not in s.output
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert (start / "vellomar").read_text() == "a file, not the working folder\n"


def test_second_launcher_in_the_same_start_folder_leaves_the_first_alone(launch, start):
    first = launch(start)
    first.menu()
    first.key_awaited()
    first.child.send("x")  # the first pass makes the working folder and holds it
    first.menu()
    second = launch(start)
    second.child.expect_exact("已有另一个启动器正在运行")
    left = second.finish()
    assert second.child.exitstatus not in (0, None)
    assert left == second.modes_before()
    assert MENU[0] not in second.output
    # The first goes on: its key wait still answers, and it leaves as usual.
    first.key_awaited()
    first.child.send("x")
    first.menu()
    quit_with_3(first)
    assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
    assert os.listdir(start / "vellomar") == []


START_PROMPT = "请输入要启动的服务器的编号:"


# Each row: the keys and lines that lead to the prompt, the prompt, what is
# typed before the stop, what after it; then the notice that follows, or the
# Java command saved.
@pytest.mark.parametrize("lead, prompt, before, after, then", [
    (["1"], INSTALL_PROMPT, "ab", "\r", None),
    (["2"], START_PROMPT, "1", "\r", "找不到Java命令文件，无法启动服务器。"),
    (["1", "1\r"], JAVA_PROMPT, "/usr/bin/jx", "\x7fava\r", b"/usr/bin/java \n"),
], ids=["install", "start", "java"])
def test_a_prompt_stopped_and_continued_is_drawn_again_with_what_was_typed(launch, start, lead, prompt, before,
                                                                           after, then):
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_text("jar\n")
    s = launch(start)
    s.menu()
    s.key_awaited()
    for keys in lead:
        s.child.send(keys)
    s.child.expect_exact(prompt, timeout=30)
    s.child.send(before)
    s.child.expect_exact(before)
    # With no shell to stop for, the program goes straight on, as after fg.
    s.child.send("\x1a")
    s.child.expect_exact(LEAVE_SCREEN)
    s.child.expect_exact(ENTER_SCREEN)
    s.child.expect_exact(prompt + before)
    screen = render(s.output)
    assert screen.alternate
    rows = [row.rstrip() for row in screen.display]
    assert rows == [prompt + before] + [""] * (ROWS - 1)
    # In the prompt's colour, the cursor after what was typed.
    # (pyte shows bright yellow, 93, as bold brown)
    assert (screen.buffer[0][0].fg, screen.buffer[0][0].bold) == ("brown", True)
    width = sum(2 if ord(c) > 0x7f else 1 for c in prompt + before)
    assert (screen.cursor.x, screen.cursor.y) == (width, 0)
    s.child.send(after)
    if isinstance(then, str):
        assert then in s.notice()
        s.child.send("\r")
        s.menu()
    elif then is None:
        s.menu()
    else:
        s.java_taken()
        assert (server / "java").read_bytes() == then
    quit_with_3(s)
