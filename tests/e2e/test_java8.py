"""The Java 8 offered at the Java prompt to whoever has none, end to end on
Linux: downloaded from a local HTTPS distribution site, checked, installed in
the working folder's java8 and run by key 2; and what the user has when it
fails or is declined."""

import hashlib
import io
import os
import zipfile

import pytest

from conftest import java8_standin
from test_install import (JAVA_PROMPT, LIST, answer_java, closed_port, extracted_server, files_in, leave,
                          shown_list, wrong_archive, zipped)
from test_start import choose_start, closing_notice, server_runs_then_stops

# Where the Linux build fetches a Java 8, below each site; the folder the
# stand-in's archive holds, as a vendor's does.
JAVA8 = "tarnwick/java/8/linux-x64.zip"
JAVA8_TOP = "jdk8u392-b08-jre"
OFFER = "没有找到64位的Java8。要从分发站点下载Java8（64位）吗？下载约40MB，放在工作文件夹vellomar的java8文件夹中，不会更改电脑上的其他任何东西。"


def java8_archive(folder, log):
    """A Java 8 archive as vendors ship one, with Unix modes: one folder, the
    stand-in Java 8 as its bin/java."""
    program = java8_standin(folder / "made", log)
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, mode, data in [("", 0o40755, None), ("bin/", 0o40755, None),
                                 ("bin/java", 0o100755, program.read_bytes()),
                                 ("lib/", 0o40755, None), ("lib/rt.jar", 0o100644, b"the classes")]:
            entry = zipfile.ZipInfo(f"{JAVA8_TOP}/{name}")
            entry.create_system, entry.external_attr = 3, mode << 16
            z.writestr(entry, data or b"")
    return out.getvalue()


# Each row: what each site serves at the Java archive's address (None: a
# 404), and whether it is checked against the stand-in's SHA-256 (or the
# setting given); the answer to the offer (None: none is made, as a Java 8
# installed before is listed); and how it ends.
@pytest.mark.parametrize("served, pinned, answer, ends", [
    (["java8"], True, "y", "installed"),
    (["wrong"], True, "y", "failed"),
    ([None, "no java"], False, "y", "failed"),
    (["java8"], True, "n", "declined"),
    (["java8"], "not a SHA-256", "y", "wrong setting"),
    (["java8"], True, None, "installed before"),
], ids=["yes installs it, key 2 runs it", "a wrong archive", "a site without it, then no java in it", "no",
        "the setting is no SHA-256", "installed before: no offer"])
def test_a_java_8_is_offered_to_whoever_has_none(launch, start, dist_site, demo_archive, tmp_path, served, pinned,
                                                  answer, ends):
    log = tmp_path / "java8.log"
    archive = java8_archive(tmp_path, log)
    bodies = {"java8": archive, "wrong": wrong_archive(tmp_path), "no java": zipped([("jre/README", b"no java")]),
              None: None}
    hosts = [f"{dist_site.host}/{n}" for n in range(len(served))]
    for n, body in enumerate(served):
        dist_site.files[f"{n}/{JAVA8}"] = bodies[body]
    work = start / "vellomar"
    installed = work / "java8" / JAVA8_TOP / "bin" / "java"
    if ends == "installed":
        # A real server, and what an attempt cut short left.
        server = work / "1.12.2"
        server.mkdir(parents=True)
        zipfile.ZipFile(io.BytesIO(demo_archive)).extractall(server)
        (server / "server.properties").write_text(f"server-port={closed_port()}\n")
        (work / "java8" / "old" / "bin").mkdir(parents=True)
        (work / "java8" / "old" / "bin" / "java").write_text("half a java\n")
        (work / "java8.zip").write_bytes(b"half an archive")
    else:
        server = extracted_server(start)
    if ends == "installed before":
        zipfile.ZipFile(io.BytesIO(archive)).extractall(work / "java8")
        installed.chmod(0o755)
    before = files_in(server)
    s = launch(start, env={**dist_site.env, "VELLOMAR_DIST_HOST": " ".join(hosts), "JDK_HOME": "",
                           "VELLOMAR_JAVA_SHA256": pinned if isinstance(pinned, str) else
                           hashlib.sha256(archive).hexdigest() if pinned else ""})
    s.menu()
    s.child.send("1")
    s.child.expect_exact(LIST)
    s.child.sendline("1")
    if answer is None:
        s.child.expect_exact(JAVA_PROMPT, timeout=30)
        number = next(n for n, major, bits, _, path in shown_list(s) if path == str(installed) and
                      (major, bits) == (8, 64))
        s.child.sendline(str(number))
        s.menu()
    else:
        assert OFFER in s.notice()
        s.child.send(answer)
        if ends in ("failed", "wrong setting"):
            shown = s.notice()
            s.child.send("\r")
        if ends != "installed":
            answer_java(s)
        else:
            s.menu()
    saved = f"{installed} \n".encode() if "installed" in ends else b"/usr/bin/java \n"
    assert files_in(server) == {**before, "java": saved}
    if ends == "installed":
        assert installed.stat().st_mode & 0o111
        choose_start(s)
        server_runs_then_stops(s)
        closing_notice(s)
        assert log.read_text().splitlines() == [f"{work}|-XshowSettings:properties -version",
                                                f"{server}|-version", f"{server}|-jar spigot-1.12.2.jar"]
    leave(s)
    # Each site once, none after a failure; nothing of an attempt is left.
    assert dist_site.requests == ([f"/{n}/{JAVA8}" for n in range(len(served))] if ends in ("installed", "failed")
                                  else [])
    left = {"installed": ["1.12.2", "java8"], "installed before": ["1.12.2", "java8"]}.get(ends, ["1.12.2"])
    assert sorted(p.name for p in work.iterdir()) == left
    if "installed" in ends:
        assert os.listdir(work / "java8") == [JAVA8_TOP]
    if ends == "failed":
        why = "下载的文件与发布的不同" if pinned else f"{hosts[0]}：下载失败；{hosts[1]}：压缩文件中没有Java"
        assert f"没能下载Java8（{why}）。请自行安装Java8（64位）后输入它的java.exe的路径，或输入已有的java.exe的路径。" in shown
    if ends == "wrong setting":
        assert ("环境变量VELLOMAR_JAVA_SHA256的值“notaSHA-256”不是SHA-256（应为64位十六进制数字，或为空表示不校验），"
                "无法确认下载的java8.zip是否为发布的文件。请改正这个设置后重试。") in shown
    if served == ["wrong"]:
        assert (f"下载的 java8.zip 与发布的文件不同（SHA-256 不符），已将其删除。\r\n"
                f"  下载的: {hashlib.sha256(bodies['wrong']).hexdigest()}\r\n"
                f"  发布的: {hashlib.sha256(archive).hexdigest()}\r\n") in s.output
    if len(hosts) > 1:
        assert f"下载失败: {hosts[0]}/{JAVA8}" in s.output and "java8.zip 中没有 Java" in s.output
