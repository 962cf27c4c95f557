"""Notices (mes, mes_yes_no) of the Linux build, shown by the small notice
program in a pseudo-terminal and read back through a terminal emulator."""

import os
import re
import signal
import subprocess
import termios

import pexpect
import pytest

from conftest import Session, cells, close_all, find, picture, render, spawn_in_pty, term_env

ROWS, COLS = 24, 80
CAPTION = "下载服务器"
TEXT = "服务器已关闭!"
BEFORE = "第一行 underneath\n第二行，绿色之前\n"
ENTER_ALT, LEAVE_ALT = "\x1b[?1049h", "\x1b[?1049l"
MARKER = re.compile(r"<<(ok|yes|no)>>")
RIGHT, LEFT = "\x1b[C", "\x1b[D"


class Notice(Session):
    """The notice program in a pseudo-terminal, with everything it wrote."""

    @property
    def size(self):
        rows, cols = self.child.getwinsize()
        return cols, rows

    def shown(self):
        """Waits until the whole frame is drawn and the keys are awaited;
        returns the screen."""
        self.child.expect("┘", timeout=10)
        assert self.child.waitnoecho(timeout=10), "the notice never waited for a key"
        return render(self.output, *self.size)

    def stays_open(self, wait=0.5):
        """True when no answer comes out within the wait."""
        return self.child.expect([MARKER, pexpect.TIMEOUT], timeout=wait) == 1

    def answer(self):
        self.child.expect(MARKER, timeout=10)
        return self.child.match.group(1)

    def finish(self):
        left = super().finish()
        assert "Sanitizer" not in self.output
        return left

    def ends_well(self):
        """Waits for the end and checks that the program ended normally."""
        self.finish()
        assert (self.child.exitstatus, self.child.signalstatus) == (0, None)


@pytest.fixture
def notice_tool(build):
    path = build / "tests" / "notice"
    if not os.access(path, os.X_OK):
        pytest.fail(f"{path} is missing: build the tests first")
    return path


@pytest.fixture
def show(notice_tool, tmp_path):
    """Starts the notice program in a pseudo-terminal."""
    children = []

    def spawn(kind, text=TEXT, caption=CAPTION, before=BEFORE, size=(ROWS, COLS), term="xterm", own=False):
        modes_file = tmp_path / f"modes-{len(children)}.pickle"
        args = (["--own-screen"] if own else []) + [kind, text, caption, before]
        child, log = spawn_in_pty(notice_tool, args, modes_file=modes_file, size=size,
                                  env=term_env({"TERM": term, "LANG": "C.UTF-8"}))
        children.append(child)
        return Notice(child, log, modes_file)

    yield spawn
    close_all(children)


def before_and_after(output):
    """The screen just before the notice, and just after it went (before the
    program wrote anything more)."""
    start = output.index(ENTER_ALT)
    end = output.index(LEAVE_ALT, start) + len(LEAVE_ALT)
    # The cursor restore that follows the mode change belongs to leaving.
    if output.startswith("\x1b8", end):
        end += 2
    return render(output[:start]), render(output[:end])


def highlighted(screen, label):
    """True when every cell of the button with this label is in reverse video."""
    y, x = find(screen, f"[ {label} ]")
    return all(screen.buffer[y][x + i].reverse for i in range(6))


def test_ok_notice_shows_title_and_text_on_the_alternate_screen_until_enter(show):
    n = show("mes")
    screen = n.shown()
    assert screen.alternate
    shown = "\n".join(screen.display)
    assert CAPTION in shown and TEXT in shown and "[ 确定 ]" in shown
    # The screen underneath is not to be seen while the notice is up.
    assert "underneath" not in shown
    assert n.output.index(ENTER_ALT) < n.output.index(CAPTION)
    # Neither waiting nor other keys close it.
    assert n.stays_open()
    n.child.send("x")
    n.child.send("1")
    n.child.send(RIGHT)
    assert n.stays_open()
    n.child.send("\r")
    assert n.answer() == "ok"
    n.ends_well()

    before, after = before_and_after(n.output)
    assert "underneath" in "\n".join(before.display)
    assert picture(after) == picture(before)
    assert not after.alternate
    # What the program writes next lands where it would have without the
    # notice, in the colour it had set.
    final = render(n.output)
    y, x = find(final, "<<ok>>")
    assert (x, y) == picture(before)[1]
    assert final.buffer[y][x].fg == "green"


@pytest.mark.parametrize("key", ["\r", " ", "\x1b"], ids=["enter", "space", "esc"])
def test_ok_notice_closes_with(show, key):
    n = show("mes")
    n.shown()
    n.child.send(key)
    assert n.answer() == "ok"
    n.ends_well()
    before, after = before_and_after(n.output)
    assert picture(after) == picture(before)


@pytest.mark.parametrize(
    "keys, result",
    [
        (["y"], "yes"),
        (["Y"], "yes"),
        (["n"], "no"),
        (["N"], "no"),
        (["是"], "yes"),
        (["否"], "no"),
        (["\r"], "yes"),
        ([" "], "yes"),
        ([RIGHT, "\r"], "no"),
        ([RIGHT, LEFT, "\r"], "yes"),
        (["\t", "\r"], "no"),
        (["\t", "\t", "\r"], "yes"),
        (["\x1bOC", "\r"], "no"),
        ([RIGHT + "\r"], "no"),
        (["\x1b", "x", RIGHT, "y"], "yes"),
    ],
    ids=[
        "y",
        "Y",
        "n",
        "N",
        "是",
        "否",
        "enter on the default",
        "space on the default",
        "right then enter",
        "right, left, enter",
        "tab then enter",
        "tab twice then enter",
        "application-mode right then enter",
        "right and enter at once",
        "other keys then y",
    ],
)
def test_yes_no_answers(show, keys, result):
    n = show("yes_no", text="要删除旧的压缩包吗?")
    screen = n.shown()
    assert "[ 是 ]" in "\n".join(screen.display) and "[ 否 ]" in "\n".join(screen.display)
    assert highlighted(screen, "是") and not highlighted(screen, "否")
    for key in keys[:-1]:
        n.child.send(key)
        assert n.stays_open(0.2)
    n.child.send(keys[-1])
    assert n.answer() == result
    n.ends_well()
    before, after = before_and_after(n.output)
    assert picture(after) == picture(before)


def test_yes_no_highlight_follows_the_arrows(show):
    n = show("yes_no")
    n.shown()
    n.child.send(RIGHT)
    assert n.stays_open(0.3)
    screen = render(n.output)
    assert highlighted(screen, "否") and not highlighted(screen, "是")
    n.child.send(LEFT)
    assert n.stays_open(0.3)
    screen = render(n.output)
    assert highlighted(screen, "是") and not highlighted(screen, "否")
    n.child.send("n")
    assert n.answer() == "no"
    n.ends_well()


@pytest.mark.parametrize("kind", ["mes", "yes_no"])
def test_ctrl_c_during_a_notice_leaves_the_alternate_screen_and_restores_modes(show, kind):
    n = show(kind)
    n.shown()
    waiting = termios.tcgetattr(n.child.child_fd)
    assert not waiting[3] & (termios.ICANON | termios.ECHO)
    n.child.sendintr()
    left = n.finish()
    assert n.child.signalstatus == signal.SIGINT
    assert not MARKER.search(n.output)
    before, after = before_and_after(n.output)
    assert picture(after) == picture(before)
    assert left == n.modes_before()


def test_a_notice_stopped_and_continued_is_drawn_again(show):
    # Ctrl+Z puts the terminal back before the stop; here, with no shell to
    # stop it for, the program goes straight on, as after fg.
    n = show("yes_no")
    n.shown()
    n.child.sendcontrol("z")
    n.child.expect_exact(LEAVE_ALT, timeout=10)
    screen = n.shown()
    assert screen.alternate and "[ 否 ]" in "\n".join(screen.display)
    n.child.send("n")
    assert n.answer() == "no"
    n.ends_well()
    out = n.output
    before = render(out[: out.index(ENTER_ALT)])
    after = render(out[: out.rindex(LEAVE_ALT) + len(LEAVE_ALT) + 2])
    assert picture(after) == picture(before)


@pytest.mark.parametrize(
    "kind, before, key",
    [
        ("mes", BEFORE, "\r"),
        ("yes_no", "".join(f"第{i}行\n" for i in range(1, 11)) + "\x1b[3;5H", "n"),
        ("mes", "".join(f"第{i}行\n" for i in range(1, 21)) + "请输入:", " "),
        ("yes_no", "".join(f"第{i}行\n" for i in range(1, 31)), "y"),
    ],
    ids=["room below", "text below the cursor", "prompt near the bottom", "screen full"],
)
def test_on_the_programs_own_screen_a_notice_makes_room_and_covers_nothing(show, kind, before, key):
    # The program holds the alternate screen: a notice cannot bring back what
    # it would cover, so it opens rows under the text it follows, the rest
    # pushed down, the screen scrolled up first as far as it needs.
    n = show(kind, before=before, own=True)
    shown = n.shown()
    out = n.output
    opened = out.index("\x1b7", out.index(ENTER_ALT) + len(ENTER_ALT))
    under = render(out[:opened])
    assert shown.alternate and under.alternate
    x, y = picture(under)[1]
    top, bottom = find(shown, "┌")[0], find(shown, "└")[0]
    height = bottom + 1 - top
    scrolled = max(0, y + height - (ROWS - 1))
    assert top == y - scrolled + 1 and 5 < height < ROWS // 2
    blank = [" " * COLS]
    moved = under.display[scrolled:] + blank * scrolled
    # Nothing is hidden: rows above the frame, then the rows pushed down below it.
    assert shown.display[:top] == moved[:top]
    assert shown.display[bottom + 1 :] == moved[top : ROWS - height]
    n.child.send(key)
    assert n.answer() == {"mes": "ok", "yes_no": "yes" if key == "y" else "no"}[kind]
    n.ends_well()
    out = n.output
    after = render(out[: out.index("<<", opened)])
    # The rows pulled back up, and the cursor after the text it followed; only
    # rows scrolled off the top are gone (the bottom ones were blank).
    assert moved[ROWS - height :] == blank * height
    assert after.alternate
    assert after.display == moved
    assert picture(after)[1] == (x, y - scrolled)
    final = render(out[: out.rindex(LEAVE_ALT)])
    assert find(final, "<<") == (y - scrolled, x) and final.buffer[y - scrolled][x].fg == "green"


def test_a_notice_on_the_programs_own_screen_stopped_and_continued_is_drawn_again(show):
    # Continuing takes the program's screen again, empty, and the notice is
    # drawn on it anew.
    n = show("yes_no", own=True)
    n.shown()
    n.child.sendcontrol("z")
    n.child.expect_exact(LEAVE_ALT, timeout=10)
    n.child.expect_exact(ENTER_ALT, timeout=10)
    screen = n.shown()
    assert screen.alternate and "[ 否 ]" in "\n".join(screen.display)
    assert "underneath" not in "\n".join(screen.display)
    n.child.send("n")
    assert n.answer() == "no"
    n.ends_well()
    # At the end the screen found comes back.
    final = render(n.output)
    assert not final.alternate and "".join(final.display).strip() == ""


LONG = "服务器已关闭!请检查 java 的路径是否正确，然后再试一次。" * 3 + "Words wrap at blanks, not inside."


# Each row: the notice, its text, the terminal's width, the keys that answer
# it (the arrow first, when there is one) and the answer.
@pytest.mark.parametrize("kind, text, cols, keys, result", [
    ("mes", LONG, 40, ["\r"], "ok"),
    ("yes_no", "要删除旧的压缩包吗?", 16, [RIGHT, "\r"], "no"),
    ("yes_no", "要删除旧的压缩包吗?", 12, [RIGHT, "\r"], "no"),
    ("yes_no", "要删除吗?", 7, [RIGHT, "\r"], "no"),
    ("mes", "已关闭", 8, ["\r"], "ok"),
], ids=["long text, 40 columns", "yes/no, 16 columns", "yes/no, 12 columns", "yes/no, 7 columns",
        "ok, 8 columns"])
def test_text_and_buttons_stay_inside_the_frame_on_a_narrow_terminal(show, kind, text, cols, keys, result):
    n = show(kind, text=text, size=(24, cols))
    screen = n.shown()
    top, left = find(screen, "┌")
    _, right = find(screen, "┐")
    bottom, corner = find(screen, "└")
    assert right < cols and find(screen, "┘") == (bottom, right) and corner == left
    for y in range(top + 1, bottom):
        assert screen.buffer[y][left].data == "│", cells(screen, y)
        assert screen.buffer[y][right].data == "│", cells(screen, y)
    # Between the borders the rows read as the text again, no word split in two.
    rows = [cells(screen, y, left + 1, right).strip() for y in range(top + 2, bottom - 2)]
    assert "".join(rows).replace(" ", "") == text.replace(" ", "")
    for upper, lower in zip(rows, rows[1:]):
        ends, starts = upper[-1], lower[0]
        split = ends.isascii() and ends.isalpha() and starts.isascii() and starts.isalpha()
        assert not split, (upper, lower)
    # Every button inside the frame, the highlight following the arrow.
    labels = ["是", "否"] if kind == "yes_no" else ["确定"]

    def lit():
        drawn = render(n.output, cols, 24)
        return [label for label in labels
                if all(drawn.buffer[bottom - 1][x].reverse for x in range(left + 1, right)
                       if drawn.buffer[bottom - 1][x].data == label[0])]

    assert [label in cells(screen, bottom - 1, left + 1, right) for label in labels] == [True] * len(labels)
    assert lit() == labels[:1]
    for key in keys[:-1]:
        n.child.send(key)
        assert n.stays_open(0.3)
        assert lit() == labels[1:2]
    n.child.send(keys[-1])
    assert n.answer() == result
    n.ends_well()


def test_dumb_terminal_gets_plain_lines_and_still_waits(show):
    n = show("yes_no", term="dumb", before="")
    n.child.expect(r"\(是/否\) ", timeout=10)
    assert "\x1b" not in n.output
    assert CAPTION in n.output and TEXT in n.output
    assert n.stays_open()
    n.child.send("n")
    assert n.answer() == "no"
    n.ends_well()


@pytest.mark.parametrize(
    "kind, typed, answer",
    [
        ("yes_no", "\n\n是的\n", "yes"),
        ("yes_no", "y\n", "yes"),
        ("yes_no", "Yes\n", "yes"),
        ("yes_no", "n\n", "no"),
        ("yes_no", "否\n", "no"),
        ("yes_no", " y\n", "no"),
        ("yes_no", "", "no"),
        ("mes", "\n", "ok"),
        ("mes", "", "ok"),
    ],
    ids=[
        "是的",
        "y",
        "Yes",
        "n",
        "否",
        "blank first",
        "end of input",
        "ok",
        "ok at end of input",
    ],
)
def test_without_a_terminal_reads_a_line_from_standard_input(notice_tool, kind, typed, answer):
    done = subprocess.run(
        [notice_tool, kind, TEXT, CAPTION, "前面\n"],
        input=typed.encode(),
        capture_output=True,
        start_new_session=True,
        env=term_env({"LANG": "C.UTF-8"}),
        timeout=30,
    )
    assert done.returncode == 0, done.stderr
    prompt = "(是/否) " if kind == "yes_no" else ""
    assert done.stdout.decode() == f"前面\n{CAPTION}\n{TEXT}\n{prompt}<<{answer}>>\n"
