"""Key 1 end to end on Linux: the list, the prompt, and a real installation
from a local HTTPS distribution site."""

import pytest

from conftest import ARCHIVE

CLS = "\x1b[H\x1b[2J\x1b[3J"
LIST = ("\x1b[0;96m可下载的服务器列表:\r\n"
        "\x1b[0;91m1\x1b[0;92m:\x1b[0;36m1.12.2\x1b[0;93m高配服务t器\r\n"
        "请选择要安装的服务器编号(红色的那个数字):")
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"
# What an installation leaves in the server folder; eula.txt as its user may
# have set it.
EULA = b"#accepted by hand\r\neula=true\r\n"
JAR = b"the server jar already extracted"


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


def complete_install(work):
    server = work / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_bytes(EULA)
    (server / "spigot-1.12.2.jar").write_bytes(JAR)
    (server / "java").write_bytes(b"/usr/bin/java \n")


def archive_is_a_folder(work):
    (work / "1.12.2.zip").mkdir(parents=True)
    (work / "1.12.2.zip" / "inside.txt").write_text("kept\n")


@pytest.mark.parametrize("make, notice", [
    (complete_install, "您已安装了此服务器"),
    (archive_is_a_folder, "1.12.2.zip 是一个文件夹，无法下载。请删除它后重试。"),
], ids=["installed", "archive is a folder"])
def test_notice_and_nothing_fetched(launch, start, site, make, notice):
    work = start / "vellomar"
    make(work)
    before = sorted(str(p.relative_to(work)) for p in work.rglob("*"))
    s = open_install(launch, start, site)
    s.child.sendline("1")
    s.child.expect_exact(notice)
    # Nothing returns before the notice is answered.
    with pytest.raises(Exception):
        s.child.expect_exact("按3返回", timeout=1)
    s.child.send("\r")
    s.menu()
    leave(s)
    assert site.requests == []
    assert "正在安装中" not in s.output and JAVA_PROMPT not in s.output
    assert sorted(str(p.relative_to(work)) for p in work.rglob("*")) == before


@pytest.mark.parametrize("files, fetched", [
    ({}, True),
    ({"eula.txt": EULA}, True),
    ({"eula.txt": EULA, "spigot-1.12.2.jar": JAR}, False),
    ({"eula.txt": EULA, "spigot-1.12.2.jar": JAR, "java": b"  \n"}, False),
], ids=["server folder empty", "eula only", "eula and jar", "eula, jar and a blank java file"])
def test_an_unfinished_installation_is_finished(launch, start, site, demo_archive, files, fetched):
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    for name, data in files.items():
        (server / name).write_bytes(data)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    answer_java(s)
    leave(s)
    assert "您已安装了此服务器" not in s.output
    assert sorted(p.name for p in server.iterdir()) == ["eula.txt", "java", "spigot-1.12.2.jar"]
    # The Java command on the first line, where the start reads it.
    assert (server / "java").read_bytes() == b"/usr/bin/java \n"
    if fetched:
        assert site.requests == ["/" + ARCHIVE]
        assert (start / "vellomar" / "1.12.2.zip").read_bytes() == demo_archive
    else:
        # Only the Java prompt: nothing downloaded, nothing there replaced.
        assert site.requests == []
        assert "正在安装中" not in s.output
        assert not (start / "vellomar" / "1.12.2.zip").exists()
        assert (server / "eula.txt").read_bytes() == EULA
        assert (server / "spigot-1.12.2.jar").read_bytes() == JAR


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
