"""Key 1 end to end on Linux: the list, the prompt, and a real installation
from a local HTTPS distribution site."""

import signal

import pytest

from conftest import ARCHIVE
from dist import wait_for

CLS = "\x1b[H\x1b[2J\x1b[3J"
LIST = ("\x1b[0;96m可下载的服务器列表:\r\n"
        "\x1b[0;91m1\x1b[0;92m:\x1b[0;36m1.12.2\x1b[0;93m高配服务t器\r\n"
        "请选择要安装的服务器编号(红色的那个数字):")
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"
# What the launcher writes last when it puts the terminal back.
RESET, POP_TITLE = "\x1b[0m", "\x1b[23;0t"


@pytest.fixture
def site(dist_site, demo_archive):
    dist_site.files[ARCHIVE] = demo_archive
    return dist_site


def open_install(launch, start, site):
    s = launch(start, env=site.env)
    s.menu()
    s.child.send("1")
    s.child.expect_exact(LIST)
    return s


def answer_java(s, java="/usr/bin/java"):
    s.child.expect_exact(JAVA_PROMPT, timeout=30)
    s.child.sendline(java)
    s.menu()


def leave(s):
    s.child.send("3")
    s.finish()
    assert s.child.exitstatus == 0


def test_list_then_install(launch, start, site, demo_archive):
    s = open_install(launch, start, site)
    s.child.sendline("1 ")  # trailing blanks are trimmed
    answer_java(s)
    leave(s)
    work = start / "vellomar"
    assert (work / "1.12.2.zip").read_bytes() == demo_archive
    assert sorted(p.name for p in (work / "1.12.2").iterdir()) == ["eula.txt", "java", "spigot-1.12.2.jar"]
    # The Java command as typed, the blank the echo form writes, a line end.
    assert (work / "1.12.2" / "java").read_bytes() == b"/usr/bin/java \n"
    assert site.requests == ["/" + ARCHIVE]
    assert "正在安装中" in s.output


@pytest.mark.parametrize("answer", [" 1", "2", "1.12.2", "\t1"])
def test_other_answers_clear_and_return(launch, start, site, answer):
    s = open_install(launch, start, site)
    s.child.sendline(answer)
    s.child.expect_exact(CLS)
    s.menu()
    leave(s)
    assert sorted(p.name for p in (start / "vellomar").iterdir()) == []
    assert site.requests == []


def test_installed_server_shows_the_notice(launch, start, site):
    (start / "vellomar" / "1.12.2").mkdir(parents=True)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    s.child.expect_exact("您已安装了此服务器")
    # Nothing returns before the notice is answered.
    with pytest.raises(Exception):
        s.child.expect_exact("按3返回", timeout=1)
    s.child.send("\r")
    s.menu()
    leave(s)
    assert site.requests == []
    assert sorted(p.name for p in (start / "vellomar").iterdir()) == ["1.12.2"]


def test_an_old_archive_is_deleted_and_fetched_again(launch, start, site, demo_archive):
    (start / "vellomar").mkdir()
    (start / "vellomar" / "1.12.2.zip").write_bytes(b"an archive left from an earlier run")
    s = open_install(launch, start, site)
    s.child.sendline("1")
    answer_java(s)
    leave(s)
    assert site.requests == ["/" + ARCHIVE]
    assert (start / "vellomar" / "1.12.2.zip").read_bytes() == demo_archive


def test_failed_download_waits_then_retries(launch, start, site, demo_archive):
    served = iter([None, demo_archive])  # a 404, then the archive
    site.files[ARCHIVE] = lambda: next(served)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    # The failure stays on screen while the launcher waits.
    s.child.expect_exact("下载失败: " + site.host + "/" + ARCHIVE)
    s.child.expect_exact("安装失败，2 秒后重试")
    answer_java(s)
    leave(s)
    assert site.requests == ["/" + ARCHIVE] * 2


def test_archive_without_eula_starts_over(launch, start, site, demo_archive, tmp_path):
    import zipfile

    bad = tmp_path / "bad.zip"
    with zipfile.ZipFile(bad, "w") as z:
        z.writestr("readme.txt", "no eula here")
    served = iter([bad.read_bytes(), demo_archive])
    site.files[ARCHIVE] = lambda: next(served)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    s.child.expect_exact("安装失败，2 秒后重试")
    answer_java(s)
    leave(s)
    assert site.requests == ["/" + ARCHIVE] * 2
    assert (start / "vellomar" / "1.12.2" / "eula.txt").exists()
    assert (start / "vellomar" / "1.12.2.zip").read_bytes() == demo_archive


def test_ctrl_c_during_the_download_ends_the_launcher_and_leaves_nothing(launch, start, dist_site):
    # The site never answers: the download waits until it is interrupted.
    dist_site.files[ARCHIVE] = lambda: dist_site.stop.wait(60) and None
    s = open_install(launch, start, dist_site)
    s.child.sendline("1")
    work = start / "vellomar"
    assert wait_for(lambda: any(p.name.startswith(".1.12.2.zip.part-") for p in work.iterdir()))
    s.child.sendintr()
    left = s.finish()
    assert s.child.signalstatus == signal.SIGINT
    assert left == s.modes_before()
    assert s.output.endswith(RESET + POP_TITLE)
    assert list(work.iterdir()) == []
