"""Key 1 end to end on Linux: the list, the prompt, and a real installation
from a local HTTPS distribution site."""

import ctypes
import hashlib
import io
import os
import pathlib
import re
import resource
import shutil
import signal
import zipfile

import pytest

from conftest import ARCHIVE, CLS, strip_escapes
from dist import wait_for
from test_extract import link

LIST = ("\x1b[0;96m可下载的服务器列表:\r\n"
        "\x1b[0;91m1\x1b[0;92m:\x1b[0;36m1.12.2\x1b[0;93m高配服务t器\r\n"
        "请选择要安装的服务器编号(红色的那个数字):")
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"
# What an installation leaves in the server folder; eula.txt as its user may
# have set it.
EULA = b"#accepted by hand\r\neula=true\r\n"
JAR = b"the server jar already extracted"
# What the launcher writes last when it puts the terminal back.
RESET, POP_TITLE = "\x1b[0m", "\x1b[23;0t"


@pytest.fixture
def site(dist_site, demo_archive):
    dist_site.files[ARCHIVE] = demo_archive
    return dist_site


def zipped(entries):
    """An archive of (name or ZipInfo, bytes, or None for a folder) entries, as bytes."""
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in entries:
            z.writestr(name if data is not None else zipfile.ZipInfo(name), data or b"")
    return out.getvalue()


def contents(archive):
    """The files of an archive: name -> bytes."""
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}


def files_in(folder):
    """Every file below folder (a link to one followed): relative name -> bytes."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def open_install(launch, start, site, preexec=None):
    s = launch(start, env=site.env, preexec=preexec)
    s.menu()
    s.child.send("1")
    s.child.expect_exact(LIST)
    return s


def answer_java(s, java="/usr/bin/java", timeout=30):
    s.child.expect_exact(JAVA_PROMPT, timeout=timeout)
    s.child.sendline(java)
    s.java_taken()


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


def with_settings(archive):
    """The demo archive with settings and a world of the archive's own."""
    return zipped(list(contents(archive).items()) + [
        ("server.properties", b"motd=archive\n"), ("world/", None), ("world/level.dat", b"archive world")])


def complete_install(work):
    server = work / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_bytes(EULA)
    (server / "spigot-1.12.2.jar").write_bytes(JAR)
    (server / "java").write_bytes(b"/usr/bin/java \n")


def archive_is_a_folder(work):
    (work / "1.12.2.zip").mkdir(parents=True)
    (work / "1.12.2.zip" / "inside.txt").write_text("kept\n")


def server_folder_is_a_file(work):
    work.mkdir(parents=True)
    (work / "1.12.2").write_text("kept\n")


def unusable_file(name, how):
    """An installed server whose name is a folder, or a link that leads nowhere."""

    def make(work):
        complete_install(work)
        server = work / "1.12.2"
        (server / name).unlink()
        if how == "folder":
            (server / name).mkdir()
        else:
            (server / name).symlink_to("nowhere")

    return make


def no_overrides():
    """Runs in the child: even root is held to the files' modes from here on."""
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2, 3):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER
        libc.prctl(24, capability, 0, 0, 0)  # PR_CAPBSET_DROP: gone after exec


def stage_held(work):
    """The staging folder's name holds what cannot be removed."""
    (work / "1.12.2").mkdir(parents=True)
    (work / "1.12.2" / "eula.txt").write_bytes(EULA)
    held = work / ".1.12.2.new" / "held"
    held.mkdir(parents=True)
    (held / "inside.txt").write_bytes(b"kept")
    held.chmod(0o555)


stage_held.preexec = no_overrides


@pytest.mark.parametrize("make, notice", [
    (complete_install, "您已安装了此服务器"),
    (archive_is_a_folder, "1.12.2.zip 是一个文件夹，无法下载。请删除它后重试。"),
    (server_folder_is_a_file, "1.12.2 是一个文件，无法把服务器解压到这里。请删除它后重试。"),
    (unusable_file("eula.txt", "folder"), "服务器文件夹中的 eula.txt 是一个文件夹。安装不会替换"),
    (unusable_file("eula.txt", "link"), "服务器文件夹中的 eula.txt 是一个指向不存在位置的链接。"),
    (unusable_file("java", "folder"), "服务器文件夹中的 java 是一个文件夹，无法在这里保存Java命令。"),
    (stage_held, ".1.12.2.new 无法删除，安装要在这里解压服务器。请删除它后重试。"),
], ids=["installed", "archive is a folder", "server folder is a file", "eula.txt is a folder",
        "eula.txt leads nowhere", "java is a folder", "staging name held"])
def test_notice_and_nothing_fetched(launch, start, site, make, notice):
    work = start / "vellomar"
    make(work)
    before = sorted(str(p.relative_to(work)) for p in work.rglob("*"))
    s = open_install(launch, start, site, getattr(make, "preexec", None))
    s.child.sendline("1")
    assert re.sub(r"\s", "", notice) in s.notice()
    # Nothing returns before the notice is answered.
    with pytest.raises(Exception):
        s.child.expect_exact("按3返回", timeout=1)
    s.child.send("\r")
    s.menu()
    leave(s)
    assert site.requests == []
    assert "正在安装中" not in s.output and JAVA_PROMPT not in s.output and "安装失败" not in s.output
    assert sorted(str(p.relative_to(work)) for p in work.rglob("*")) == before


def left_over(how):
    """What a run cut short may leave under the staging folder's name."""

    def make(stage):
        if how == "file":
            stage.write_bytes(b"left")
        elif how == "link":
            stage.symlink_to("nowhere")
        elif how == "folder":
            (stage / "eula.txt").mkdir(parents=True)
            (stage / "spigot-1.12.2.jar").write_bytes(b"half")

    return make


@pytest.mark.parametrize("files, fetched, linked, left", [
    ({}, True, False, None),
    ({"eula.txt": EULA}, True, False, None),
    ({"eula.txt": EULA, "spigot-1.12.2.jar": JAR}, False, False, None),
    ({"eula.txt": EULA, "spigot-1.12.2.jar": JAR, "java": b"  \n"}, False, False, None),
    # An extraction cut short may have copied part of what the folder lacked.
    ({"eula.txt": EULA, "spigot-1.12.2.jar": JAR}, True, False, "folder"),
    ({"eula.txt": EULA, "server.properties": b"motd=mine\n", "world/level.dat": b"my world"}, True, False, None),
    ({"eula.txt": EULA, "java": b"/old/java \n"}, True, False, None),
    ({"eula.txt": EULA}, True, True, None),
    ({"eula.txt": EULA}, True, False, "file"),
    ({"eula.txt": EULA}, True, False, "link"),
    ({"eula.txt": EULA}, True, True, "folder"),
], ids=["server folder empty", "eula only", "eula and jar", "eula, jar and a blank java file",
        "eula, jar and a staging folder left",
        "the user's settings and world", "an old java, no jar", "server folder is a link",
        "a file left as the staging folder", "a link that leads nowhere as the staging folder",
        "server folder a link, a staging folder left"])
def test_an_unfinished_installation_is_finished(launch, start, site, demo_archive, tmp_path, files, fetched, linked,
                                                left):
    served = site.files[ARCHIVE] = with_settings(demo_archive)
    site.env["VELLOMAR_ARCHIVE_SHA256"] = hashlib.sha256(served).hexdigest()
    server = start / "vellomar" / "1.12.2"
    # A server folder moved to another disk, a link to it left in its place.
    folder = tmp_path / "other disk" / "1.12.2" if linked else server
    folder.mkdir(parents=True)
    if linked:
        server.parent.mkdir()
        server.symlink_to(folder)
    for name, data in files.items():
        (folder / name).parent.mkdir(exist_ok=True)
        (folder / name).write_bytes(data)
    left_over(left)(start / "vellomar" / ".1.12.2.new")
    s = open_install(launch, start, site)
    s.child.sendline("1")
    answer_java(s)
    leave(s)
    assert "您已安装了此服务器" not in s.output
    # One download did it: what the staging folder's name held went first.
    assert "安装失败" not in s.output
    # What the archive brings is added; nothing the server folder held is
    # replaced, save the Java command file, whose first line is the answer.
    want = {**(contents(served) if fetched else {}), **files, "java": b"/usr/bin/java \n"}
    assert files_in(folder) == want
    assert server.is_symlink() == linked
    assert sorted(p.name for p in (start / "vellomar").iterdir()) == ["1.12.2", "1.12.2.zip"][: 1 + fetched]
    if fetched:
        assert site.requests == ["/" + ARCHIVE]
        assert (start / "vellomar" / "1.12.2.zip").read_bytes() == served
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


def test_a_link_that_drops_still_installs(launch, start, site, tmp_path):
    import random
    import zipfile

    # 32 MiB that do not compress, over a link that drops every 4 MiB.
    path = tmp_path / "big.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
        z.write(pathlib.Path(__file__).parents[2] / "site" / "demo" / "eula.txt", "eula.txt")
        z.writestr("spigot-1.12.2.jar", random.Random(4).randbytes(32 << 20))
    archive = path.read_bytes()
    site.files[ARCHIVE] = archive
    site.drop_after = 4 << 20
    site.env["VELLOMAR_ARCHIVE_SHA256"] = hashlib.sha256(archive).hexdigest().upper()
    s = open_install(launch, start, site)
    s.child.sendline("1")
    answer_java(s, timeout=120)
    leave(s)
    assert (start / "vellomar" / "1.12.2.zip").read_bytes() == archive
    # Each attempt went on from where the last broke off...
    assert [a.range for a in site.answers] == [None] + [f"bytes={n << 22}-" for n in range(1, len(site.answers))]
    assert site.sent == len(archive)
    # ...and the pauses between them stayed at their first step.
    assert s.output.count("安装失败，2 秒后重试") == len(site.answers) - 1
    assert "安装失败，4 秒后重试" not in s.output


def damaged_jar(archive):
    """The archive with its jar's bytes no longer matching their CRC."""
    raw = bytearray(zipped(contents(archive).items()))
    jar = contents(archive)["spigot-1.12.2.jar"]
    raw[raw.index(jar) + len(jar) // 2] ^= 0xFF
    return bytes(raw)


# An archive that does not give the server, what the server folder held
# before, and what the launcher says of it.
@pytest.mark.parametrize("bad, before, says", [
    (lambda demo: zipped([("readme.txt", b"no eula here")]), {},
     "解压后的服务器不完整：缺少 eula.txt，缺少 spigot-1.12.2.jar。"),
    (damaged_jar, {"eula.txt": EULA}, "解压后的服务器不完整：缺少 eula.txt，缺少 spigot-1.12.2.jar。"),
    (lambda demo: zipped([*contents(demo).items(), ("java/", None)]), {}, "压缩文件中有名为 java 的项"),
    (lambda demo: zipped([*contents(demo).items(), ("java", b"#!/bin/sh\n")]), {"eula.txt": EULA},
     "压缩文件中有名为 java 的项"),
    (lambda demo: zipped([link("eula.txt", "gone.txt"), ("spigot-1.12.2.jar", JAR)]), {},
     "解压后的服务器不完整：eula.txt 是一个指向不存在位置的链接。"),
], ids=["no eula", "jar damaged, eula there", "a java folder", "a java file, eula there", "eula leads nowhere"])
def test_an_archive_without_the_server_starts_over(launch, start, site, demo_archive, bad, before, says):
    served = iter([bad(demo_archive), demo_archive])
    site.files[ARCHIVE] = lambda: next(served)
    site.env["VELLOMAR_ARCHIVE_SHA256"] = ""  # taken as published: only its extraction fails
    server = start / "vellomar" / "1.12.2"
    for name, data in before.items():
        server.mkdir(parents=True, exist_ok=True)
        (server / name).write_bytes(data)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    s.child.expect_exact(says)
    s.child.expect_exact("安装失败，2 秒后重试")
    answer_java(s)
    leave(s)
    assert site.requests == ["/" + ARCHIVE] * 2
    # Nothing of the first archive is left; the second added what was missing.
    assert files_in(server) == {**contents(demo_archive), **before, "java": b"/usr/bin/java \n"}
    assert sorted(p.name for p in (start / "vellomar").iterdir()) == ["1.12.2", "1.12.2.zip"]
    assert (start / "vellomar" / "1.12.2.zip").read_bytes() == demo_archive


def wrong_archive(tmp_path):
    """A zip that extracts as the server would, but is not the one published."""
    import zipfile

    path = tmp_path / "wrong.zip"
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("eula.txt", "eula=true\n")
        z.writestr("spigot-1.12.2.jar", "not the published jar")
        z.writestr("wrong.txt", "only in the wrong archive")
    return path.read_bytes()


def closed_port():
    """A loopback port nothing listens on: connections to it are refused."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


REFUSED = "与发布的文件不同"
PAUSE = "安装失败，2 秒后重试"


# Each row: the sites named, in order ("refused": nothing listens there);
# what each serves in turn (None: a 404); the SHA-256 setting of the
# environment (None: the build's); the sites asked, in order; the pauses
# taken; and which archive is installed.
@pytest.mark.parametrize("hosts, served, sha, asked, pauses, installed", [
    (["/a", "/b"], {"/a": ["wrong"], "/b": ["demo"]}, None, ["/a", "/b"], 0, "demo"),
    (["refused", "/b"], {"/b": ["demo"]}, None, ["/b"], 0, "demo"),
    (["/a", "/b"], {"/a": [None], "/b": [None, "demo"]}, None, ["/a", "/b", "/a", "/b"], 1, "demo"),
    (["/a"], {"/a": ["wrong", "demo"]}, None, ["/a", "/a"], 1, "demo"),
    (["/a"], {"/a": ["wrong"]}, "", ["/a"], 0, "wrong"),
    (["/a"], {"/a": ["wrong", "demo"]}, " {demo}\t\r\n", ["/a", "/a"], 1, "demo"),
], ids=["wrong archive, then the next site", "first site refuses", "all fail, then the pause",
        "wrong archive on the only site", "not checked when empty", "blanks and line ends around the setting"])
def test_sites_in_turn_and_the_published_archive(launch, start, dist_site, demo_archive, tmp_path, hosts, served,
                                                  sha, asked, pauses, installed):
    bodies = {"demo": demo_archive, "wrong": wrong_archive(tmp_path), None: None}
    for prefix, names in served.items():
        dist_site.files[prefix[1:] + "/" + ARCHIVE] = [bodies[n] for n in names]
    refused = f"https://127.0.0.1:{closed_port()}"
    named = [refused if h == "refused" else dist_site.host + h for h in hosts]
    env = {**dist_site.env, "VELLOMAR_DIST_HOST": "  ".join(named) + " "}
    if sha is not None:
        env["VELLOMAR_ARCHIVE_SHA256"] = sha.format(demo=hashlib.sha256(demo_archive).hexdigest().upper())
    s = launch(start, env=env)
    s.menu()
    s.child.send("1")
    s.child.sendline("1")
    answer_java(s, timeout=60)
    leave(s)
    work = start / "vellomar"
    assert dist_site.requests == [h + "/" + ARCHIVE for h in asked]
    assert s.output.count(PAUSE) == pauses
    assert (work / "1.12.2.zip").read_bytes() == bodies[installed]
    # What was refused was removed before anything was extracted from it.
    assert (work / "1.12.2" / "wrong.txt").exists() == (installed == "wrong")
    wrong_served = sum(names.count("wrong") for names in served.values())
    assert s.output.count(REFUSED) == (0 if sha == "" else wrong_served)
    if sha != "" and wrong_served:
        wrong = hashlib.sha256(bodies["wrong"]).hexdigest()
        published = hashlib.sha256(bodies["demo"]).hexdigest()
        assert (f"下载的 1.12.2.zip 与发布的文件不同（SHA-256 不符），已将其删除。\r\n"
                f"  下载的: {wrong}\r\n  发布的: {published}\r\n") in s.output
    # Which site is tried shows only when there are several.
    for number, host in enumerate(named, 1):
        line = f"正在尝试第 {number} 个站点（共 {len(named)} 个）：{host}"
        assert (line in s.output) == (len(named) > 1)
    if "refused" in hosts:
        assert "下载失败: " + refused + "/" + ARCHIVE in s.output


@pytest.mark.parametrize("sha", ["abc", "0" * 63 + "g", "0" * 64 + " 1.12.2.zip"])
def test_a_sha256_setting_that_is_none_stops_before_the_download(launch, start, dist_site, sha):
    s = launch(start, env={**dist_site.env, "VELLOMAR_ARCHIVE_SHA256": sha})
    s.menu()
    s.child.send("1")
    s.child.sendline("1")
    shown = s.notice()
    assert f"环境变量VELLOMAR_ARCHIVE_SHA256的值“{sha.replace(' ', '')}”不是SHA-256" in shown.replace(" ", "")
    s.child.send("\r")
    s.menu()
    leave(s)
    assert dist_site.requests == []
    assert REFUSED not in s.output and PAUSE not in s.output


# Stand-ins for java: what each prints to standard error for -version, and
# its exit status; and what some do first: never end, never stop writing, or
# start a child that holds their output ({children} records the child).
JAVAS = {
    "java8": ('openjdk version "1.8.0_392"\nOpenJDK 64-Bit Server VM (build 25.392-b08, mixed mode)', 0),
    "java17": ('openjdk version "17.0.9" 2023-10-17\nOpenJDK 64-Bit Server VM (build 17.0.9+9)', 0),
    "java21": ('java version "21" 2023-09-19 LTS\nJava HotSpot(TM) 64-Bit Server VM (build 21+35-LTS)', 0),
    "failing": ('java version "1.8.0_392"\nError: Could not create the Java Virtual Machine.', 1),
    "unreadable": ("prints no version", 0),
    "hanging": ("", 0, "sleep 600 & echo $! >> {children}; exec sleep 600"),
    "flooding": ("", 0, "exec yes 'java version \"1.8.0_392\"'"),
    "forking": ('openjdk version "1.8.0_392"\nOpenJDK 64-Bit Server VM (build 25.392-b08, mixed mode)', 0, "sleep 600 & echo $! >> {children}"),
    "graal": ('openjdk version "1.8.0_192"\nOpenJDK Runtime Environment (build '
              '1.8.0_192-20181024121959.buildslave.jdk8u-src-tar--b12)\n'
              'GraalVM 1.0.0-rc9 (build 25.192-b12-jvmci-0.49, mixed mode)', 0),
}


def dump(release, version, arch="amd64", model="64"):
    """The lines a Java writes before its version for -XshowSettings:properties
    (sorted, trimmed to those that matter and a neighbour)."""
    return (f"Property settings:\n    java.home = /usr/lib/jvm/j\n    java.specification.version = {release}\n"
            f"    java.version = {version}\n    os.arch = {arch}\n    sun.arch.data.model = {model}\n"
            "    user.name = u\n")


# What the Javas among them write first for -XshowSettings:properties.
DUMPS = {"java8": dump("1.8", "1.8.0_392"), "java17": dump("17", "17.0.9"), "java21": dump("21", "21"),
         "forking": dump("1.8", "1.8.0_392"), "graal": dump("1.8", "1.8.0_192")}
NOT_RUN = "：找不到该程序，或它不是可运行的 Java。请重新输入。"
# What the check says of a Java it ended after its time.
TOO_LONG = "该程序在 20 秒内没有结束，已将它结束。"


def stand_ins(folder):
    """Writes the stand-ins into folder, each recording where it ran and with
    what; returns the answers' names for them and the record."""
    calls = folder / "calls"
    paths = {}
    for name, (text, status, *first) in JAVAS.items():
        path = paths[name] = folder / "javas" / name
        path.parent.mkdir(exist_ok=True)
        before = first[0].format(children=folder / "children") + "\n" if first else ""
        if name in DUMPS:
            before += f"[ \"$1\" = -XshowSettings:properties ] && printf '%s\\n' '{DUMPS[name]}' >&2\n"
        path.write_text(f"#!/bin/sh\nprintf '%s|%s\\n' \"$(pwd)\" \"$*\" >> {calls}\n{before}"
                        f"printf '%s\\n' '{text}' >&2\nexit {status}\n")
        path.chmod(0o755)
    spaced = paths["spaced"] = folder / "my java" / "bin" / "java"
    spaced.parent.mkdir(parents=True)
    shutil.copy2(paths["java8"], spaced)
    paths["plain"] = folder / "javas" / "plain"
    paths["plain"].write_text("not a program\n")
    paths["missing"] = folder / "javas" / "missing"
    return paths, calls


def gone(pid):
    """True when the process has ended (a zombie, or reaped)."""
    try:
        return ") Z " in pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return True


def children_ended(folder):
    """True once every child a stand-in started has ended."""
    record = folder / "children"
    pids = record.read_text().split() if record.exists() else []
    return wait_for(lambda: all(gone(pid) for pid in pids))


# Each step: the answer typed (None: end of input), then what follows it:
# "saved", "refused" (the message, the prompt again), "timed out" (the
# check's words, then the same), "blank" (the same), or the notice about the
# version answered "yes" or "no".
def extracted_server(start):
    """A server folder in start's working folder with eula.txt and the jar,
    as an extraction leaves it, so that key 1 goes on to the Java prompt."""
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_bytes(EULA)
    (server / "spigot-1.12.2.jar").write_bytes(JAR)
    return server


@pytest.mark.parametrize("steps, saved", [
    ([("{missing}", "refused"), ("{java8}", "saved")], "{java8}"),
    ([("   ", "blank"), ("\t", "blank"), ("{java8}", "saved")], "{java8}"),
    ([("{java17}", "no"), ("{java17}", "yes")], "{java17}"),
    ([("{java21}", "yes")], "{java21}"),
    ([("{spaced}", "refused"), ('"{spaced}"', "saved")], '"{spaced}"'),
    ([("{plain}", "refused"), ("{failing}", "refused"), ("{unreadable}", "saved")], "{unreadable}"),
    ([(None, None)], None),
    ([("{hanging}", "timed out"), ("{flooding}", "timed out"), ("{forking}", "saved")], "{forking}"),
    ([("{graal}", "saved")], "{graal}"),
], ids=["missing, then java 8", "blank, then java 8", "java 17: no, then yes", "java 21",
        "blanks: unquoted, then quoted", "not a program, failing, no version", "end of input",
        "never ends, never stops writing, leaves a child", "64-bit, its version lines say nothing of it"])
def test_the_java_answer_is_checked(launch, start, site, tmp_path, steps, saved):
    server = extracted_server(start)
    paths, calls = stand_ins(tmp_path)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    for answer, then in steps:
        s.child.expect_exact(JAVA_PROMPT, timeout=30)
        if answer is None:
            s.child.sendeof()
            break
        typed = answer.format(**paths)
        s.child.sendline(typed)
        # What the Java printed shows on screen.
        ran = next((name for name in JAVAS if str(paths[name]) == typed), "java8" if typed[0] == '"' else None)
        if ran:
            s.child.expect_exact(JAVAS[ran][0].split("\n")[-1])
        if then == "timed out":
            s.child.expect_exact(TOO_LONG, timeout=60)
        if then in ("refused", "timed out"):
            s.child.expect_exact("无法运行 " + typed + NOT_RUN)
        elif then == "blank":
            s.child.expect_exact("请输入Java的路径。")
        elif then in ("yes", "no"):
            version = {"java17": 17, "java21": 21}[ran]
            shown = s.notice()
            assert f"找到的Java版本是{version}，此服务器需要Java8。仍要使用这个Java吗？" in shown
            s.child.send(then[0])
    s.menu()
    leave(s)
    if saved is None:
        assert not (server / "java").exists()
    else:
        # Only the accepted answer, as the echo form writes it.
        assert (server / "java").read_bytes() == saved.format(**paths).encode() + b" \n"
    # Each Java ran as the list's do, in the server folder.
    made = calls.read_text().splitlines() if calls.exists() else []
    assert set(made) <= {f"{server}|-XshowSettings:properties -version"}
    assert bool(made) == any(answer and "{" in answer and then != "refused" for answer, then in steps)
    # Nothing a Java started outlives its check.
    assert children_ended(tmp_path)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["ctrl-c", "SIGTERM", "SIGHUP"])
def test_a_signal_during_the_java_check_ends_the_launcher_and_all_the_java_started(launch, start, site, tmp_path,
                                                                                   sig):
    server = extracted_server(start)
    paths, calls = stand_ins(tmp_path)
    s = open_install(launch, start, site)
    s.child.sendline("1")
    s.child.expect_exact(JAVA_PROMPT)
    s.child.sendline(str(paths["hanging"]))
    assert wait_for(lambda: (tmp_path / "children").exists())
    if sig == signal.SIGINT:
        s.child.sendintr()
    else:
        s.child.kill(sig)
    left = s.finish()
    assert s.child.signalstatus == sig
    assert left == s.modes_before()
    assert s.output.endswith(RESET + POP_TITLE)
    assert children_ended(tmp_path)
    assert not (server / "java").exists()


# Javas the search finds: where each lies below the scratch folder, and what
# it says of itself (release, version, data model), or that
# it hangs, fails, or is a link to another.
FOUND = {
    "jdk17": ("jdk-17/bin/java", ("17", "17.0.9", "64")),  # JAVA_HOME
    "x86": ("bin/java", ("1.8", "1.8.0_391", "32")),  # on PATH
    "spaced": ("home/.jdks/temurin 8/bin/java", ("1.8", "1.8.0_392", "64")),
    "corretto": ("home/.jdks/corretto-1.8/jre/bin/java", ("1.8", "1.8.0_402", "64")),
    "linked": ("home/.jdks/linked", "jdk-17"),
    "sdk11": ("home/.sdkman/candidates/java/11.0.21-tem/bin/java", ("11", "11.0.21", "64")),
    "hung": ("home/.sdkman/candidates/java/hung/bin/java", "hangs"),
    "broken": ("home/.sdkman/candidates/java/broken/bin/java", "fails"),
    # Paths the Java command file could not carry: never checked or listed.
    "quoted": ('home/.jdks/jdk "8"/bin/java', ("1.8", "1.8.0_392", "64")),
    "backslashed": ("home/.jdks/jdk\\8/bin/java", ("1.8", "1.8.0_392", "64")),
    "two lines": ("home/.jdks/jdk\n8/bin/java", ("1.8", "1.8.0_392", "64")),
}
LISTED = ["corretto", "spaced", "x86", "sdk11", "jdk17"]
ENTRY = re.compile(r"^  \[(\d+)\] Java (\d+)（(\d\d) 位）( +)(.*)$")


def found_javas(folder):
    """Writes the Javas of FOUND below folder; returns their paths, the record
    of their calls, the environment that leads the search to them, and where
    the one that hangs writes its process number."""
    calls, hung = folder / "calls", folder / "hung.pid"
    paths = {}
    for name, (place, what) in FOUND.items():
        path = paths[name] = folder / place
        path.parent.mkdir(parents=True, exist_ok=True)
        if name == "linked":
            path.symlink_to(folder / what)
            continue
        body = f"#!/bin/sh\nprintf '%s|%s\\n' \"$0\" \"$*\" >> '{calls}'\n"
        if what == "hangs":
            body += f"echo $$ > '{hung}'\nexec sleep 600\n"
        else:
            release, version, model = ("1.8", "1.8.0_392", "64") if what == "fails" else what
            vm, arch = ("OpenJDK 64-Bit Server VM", "amd64") if model == "64" else ("OpenJDK Server VM", "i386")
            body += ("[ \"$1\" = -XshowSettings:properties ] && printf 'Property settings:\\n"
                     f"    java.specification.version = {release}\\n    java.version = {version}\\n"
                     f"    os.arch = {arch}\\n    sun.arch.data.model = {model}\\n\\n' >&2\n"
                     f"printf 'openjdk version \"{version}\"\\n{vm} (build 25.392-b08, mixed mode)\\n' >&2\n")
            body += "exit 1\n" if what == "fails" else "exit 0\n"
        path.write_text(body)
        path.chmod(0o755)
    env = {"HOME": str(folder / "home"), "JAVA_HOME": str(folder / "jdk-17"),
           "PATH": f"{folder / 'bin'}:{os.environ['PATH']}"}
    return paths, calls, env, hung


def shown_list(s):
    """The entries of the last list on screen: (number, major, bits, column
    of the path, path)."""
    text = strip_escapes(s.output).replace("\r", "")
    lines = text[text.rindex("找到以下 Java："):].split("\n")[1:]
    entries = []
    for line in lines:
        match = ENTRY.match(line)
        if not match:
            assert line == "输入编号选择，或输入 java.exe 的路径。"
            break
        number, major, bits, gap, path = match.groups()
        entries.append((int(number), int(major), int(bits), match.start(5), path))
    return entries


# Each step: the answer ("#name": the number the list shows for it), then
# what follows: "saved", "missing" (a number not on the list), or the
# question about a 32-bit Java answered "yes" or "no".
def searching(launch, start, site, tmp_path):
    """A launcher that has just asked for a Java, in a server folder with
    eula.txt and the jar, with the Javas of found_javas() to be found: the
    session, the server folder, and what found_javas() gave."""
    server = extracted_server(start)
    found = found_javas(tmp_path / "javas")
    s = launch(start, env={**site.env, **found[2]})
    s.menu()
    s.child.send("1")
    s.child.expect_exact(LIST)
    s.child.sendline("1")
    return s, server, found


@pytest.mark.parametrize("steps, saved", [
    ([("#spaced", "saved")], '"{spaced}"'),
    ([("99", "missing"), ("#x86", "no"), ("#x86", "yes")], "{x86}"),
    ([("{x86}", "no"), ("{x86}", "yes")], "{x86}"),
], ids=["by number, blanks in the path", "not on the list, then 32-bit by number", "32-bit typed"])
def test_the_javas_found_are_listed(launch, start, site, tmp_path, steps, saved):
    s, server, (paths, calls, _, hung) = searching(launch, start, site, tmp_path)
    # The one that hangs holds the list up for the time limit, no longer.
    s.child.expect_exact("输入编号选择，或输入 java.exe 的路径。", timeout=30)
    s.child.expect_exact(JAVA_PROMPT)
    entries = shown_list(s)
    assert [e[0] for e in entries] == list(range(1, len(entries) + 1))
    # The machine's own Javas may be listed too, in their places.
    ranks = [(0 if major == 8 and bits == 64 else 1 if major == 8 else 2, major, bits != 64)
             for _, major, bits, _, _ in entries]
    assert ranks == sorted(ranks)
    assert len({e[3] for e in entries}) == 1  # the paths in one column
    ours = [(path, major, bits) for _, major, bits, _, path in entries if path.startswith(str(tmp_path))]
    assert ours == [(str(paths[name]), int(FOUND[name][1][0].split(".")[-1]), int(FOUND[name][1][2]))
                    for name in LISTED]
    number = {path: n for n, _, _, _, path in entries}
    # The one that hung was ended.
    with pytest.raises(ProcessLookupError):
        os.kill(int(hung.read_text()), 0)
    for at, (answer, then) in enumerate(steps):
        if at:
            s.child.expect_exact(JAVA_PROMPT, timeout=30)
        typed = str(number[str(paths[answer[1:]])]) if answer[0] == "#" else answer.format(**paths)
        s.child.sendline(typed)
        if then == "missing":
            s.child.expect_exact(f"列表中没有编号 {typed}。请输入列表中的编号，或 java.exe 的路径。")
        elif then in ("yes", "no"):
            assert "这是32位的Java，服务器最多只能使用约1GB内存。仍要使用这个Java吗？" in s.notice()
            s.child.send(then[0])
    s.menu()
    leave(s)
    assert (server / "java").read_bytes() == saved.format(**paths).encode() + b" \n"
    # Each Java found was checked once, those with paths that cannot be
    # saved never; only typed answers ran again, in the same way.
    probe = "|-XshowSettings:properties -version"
    made = calls.read_text().splitlines()
    checked = [f"{paths[name]}{probe}" for name in LISTED + ["hung", "broken"]]
    typed = [answer.format(**paths) + probe for answer, _ in steps if answer[0] == "{"]
    assert sorted(made) == sorted(checked + typed)


def test_a_signal_during_the_search_ends_the_javas_being_checked(launch, start, site, tmp_path):
    s, _, (_, _, _, hung) = searching(launch, start, site, tmp_path)
    assert wait_for(lambda: hung.exists() and hung.read_text().strip())
    s.child.kill(signal.SIGTERM)
    s.finish()
    assert s.child.signalstatus == signal.SIGTERM

    def ended():
        try:
            os.kill(int(hung.read_text()), 0)
        except ProcessLookupError:
            return True
        return False

    assert wait_for(ended)


def test_a_full_disk_while_the_java_answer_is_saved_leaves_the_install_unfinished(launch, start, site, tmp_path):
    server = extracted_server(start)
    java8 = tmp_path / "a java whose path is longer than the disk has room for" / "java"
    java8.parent.mkdir()
    java8.write_text("#!/bin/sh\necho 'java version \"1.8.0_392\"' >&2\necho 'OpenJDK 64-Bit Server VM' >&2\n")
    java8.chmod(0o755)

    def small_disk():
        # No file may grow past 16 bytes, as on a disk that is full.
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (16, 16))

    s = launch(start, env=site.env, preexec=small_disk)
    s.menu()
    s.child.send("1")
    s.child.expect_exact(LIST)
    s.child.sendline("1")
    s.child.expect_exact(JAVA_PROMPT)
    s.child.sendline(f'"{java8}"')
    assert "无法把Java的路径写入Java命令文件（磁盘可能已满），安装尚未完成。" in s.notice()
    s.child.send("\r")
    s.menu()
    leave(s)
    # Nothing half written is left to be taken for a Java command.
    assert not (server / "java").exists()


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
