"""The Debian package the build's target "package" makes, unpacked into a
scratch root and started there by its command, as if installed."""

import os
import stat
import subprocess

import pytest

from conftest import ARCHIVE, Session, close_all, spawn_in_pty, term_env

INSTALL_PROMPT = "请选择要安装的服务器编号(红色的那个数字):"
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"
LIB = "usr/lib/vellomar"
DOC = "usr/share/doc/vellomar"
# The manual page, in English and in Chinese.
PAGES = {"usr/share/man/man1/vellomar.1.gz": "RESTORING A WORLD BACKUP",
         "usr/share/man/zh_CN/man1/vellomar.1.gz": "恢复世界备份"}
# Every file the package holds; the folders above them go with them. The
# programs are executable, the rest not.
PROGRAMS = {"usr/bin/vellomar", f"{LIB}/vellomar", f"{LIB}/vellomar-powershell", f"{LIB}/vellomar-fetch",
            f"{LIB}/vellomar-cmd", f"{LIB}/out_put_ver.exe"}
FILES = PROGRAMS | {f"{DOC}/copyright", f"{DOC}/changelog.gz"} | set(PAGES)


@pytest.fixture(scope="module")
def deb(build, version):
    """The package, made afresh by the build."""
    cmake = os.environ.get("VELLOMAR_CMAKE", "cmake")
    made = subprocess.run([cmake, "--build", str(build), "--target", "package"], capture_output=True, text=True,
                          timeout=900)
    assert made.returncode == 0, made.stdout + made.stderr
    path = build / f"vellomar_{version}_amd64.deb"
    assert path.is_file()
    return path


@pytest.fixture(scope="module")
def root(deb, tmp_path_factory):
    """The package unpacked into a scratch root, as if installed there."""
    folder = tmp_path_factory.mktemp("root")
    subprocess.run(["dpkg", "-x", str(deb), str(folder)], check=True)
    return folder


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], capture_output=True, text=True, check=True).stdout.strip()


def command(root, args, env):
    """Runs the package's command without a terminal, as far as it gets."""
    return subprocess.run([str(root / "usr/bin/vellomar"), *args], capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL, env={"PATH": os.environ["PATH"], "LANG": "C.UTF-8", **env})


def tree(folder):
    """Every path below folder, with its kind and size: what a run may not change."""
    return sorted((os.path.relpath(path, folder), os.path.isdir(path), os.lstat(path).st_size)
                  for here, dirs, files in os.walk(folder) for path in (os.path.join(here, n) for n in dirs + files))


def test_deb_unpacked_in_a_scratch_root_runs_in_the_users_own_start_folder(deb, root, tmp_path, version, dist_site,
                                                                            demo_archive, java8_home):
    assert (field(deb, "Package"), field(deb, "Version"), field(deb, "Architecture")) == ("vellomar", version, "amd64")
    # The libraries the programs link, as shlibdeps found them.
    depends = [part.split()[0] for part in field(deb, "Depends").split(",")]
    assert {"libc6", "libstdc++6", "libcurl4", "libarchive13"} <= set(depends)

    files = {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}
    assert files == FILES
    for name in FILES:
        assert stat.S_IMODE((root / name).stat().st_mode) == (0o755 if name in PROGRAMS else 0o644), name

    home, elsewhere = tmp_path / "home", tmp_path / "elsewhere"
    home.mkdir()
    elsewhere.mkdir()
    command = root / "usr/bin/vellomar"
    sessions = []

    def run(env):
        child, log = spawn_in_pty(command, cwd=str(elsewhere), timeout=30,
                                  env=term_env({"LANG": "C.UTF-8", "HOME": str(home), "JDK_HOME": str(java8_home), **env}))
        sessions.append(child)
        s = Session(child, log, timeout=30)
        s.menu()
        assert f"vellomar {version}" in s.output
        return s

    def leave(s):
        s.key_awaited()
        s.child.send("3")
        s.finish()
        assert (s.child.exitstatus, s.child.signalstatus) == (0, None)

    try:
        # First use: the start folder is made, and key 1 installs there through
        # the PowerShell stand-in beside the launcher.
        # An empty XDG_DATA_HOME counts as unset.
        dist_site.files[ARCHIVE] = demo_archive
        s = run({**dist_site.env, "XDG_DATA_HOME": ""})
        s.key_awaited()
        s.child.send("1")
        s.child.expect_exact(INSTALL_PROMPT)
        s.child.sendline("1")
        s.child.expect_exact(JAVA_PROMPT, timeout=60)
        s.child.sendline("/usr/bin/java")
        s.java_taken()
        leave(s)
        start = home / ".local/share/vellomar"
        assert sorted(os.listdir(start)) == ["out_put_ver.exe", "vellomar"]
        assert (start / "out_put_ver.exe").read_bytes() == (root / LIB / "out_put_ver.exe").read_bytes()
        assert sorted(os.listdir(start / "vellomar/1.12.2")) == ["eula.txt", "java", "spigot-1.12.2.jar"]
        assert os.listdir(elsewhere) == []

        # XDG_DATA_HOME names the folder; a banner program left there by
        # another version is replaced by the installed one.
        data = tmp_path / "data"
        (data / "vellomar").mkdir(parents=True)
        old = data / "vellomar/out_put_ver.exe"
        old.write_text("#!/bin/sh\necho old banner\n")
        old.chmod(0o755)
        s = run({"XDG_DATA_HOME": str(data)})
        assert "old banner" not in s.output
        leave(s)
        assert old.read_bytes() == (root / LIB / "out_put_ver.exe").read_bytes()
        assert sorted(os.listdir(data / "vellomar")) == ["out_put_ver.exe", "vellomar"]
        assert os.listdir(elsewhere) == []
    finally:
        close_all(sessions)


@pytest.mark.parametrize("page", sorted(PAGES))
def test_manual_page_renders_without_warnings(root, page):
    shown = subprocess.run(["man", "--warnings", "-l", str(root / page)], capture_output=True, text=True, timeout=60,
                           env={"PATH": os.environ["PATH"], "LANG": "C.UTF-8", "MANWIDTH": "80"})
    assert (shown.returncode, shown.stderr) == (0, "")
    # What the page must tell, in either language.
    for word in (PAGES[page], "vellomar/backups/YYYY-MM-DD_HH-MM-SS/NAME.zip", "VELLOMAR_DIST_HOST",
                 "CURL_CA_BUNDLE", "SSL_CERT_FILE", "SSL_CERT_DIR", "XDG_DATA_HOME", "HOME", "--help", "--version"):
        assert word in shown.stdout, word
    assert max(len(line) for line in shown.stdout.splitlines()) <= 80


# The command's own arguments, answered without starting the launcher:
# arguments, exit status, what standard output and standard error hold.
@pytest.mark.parametrize("args, status, out, err", [
    (["--help"], 0, ["用法：vellomar [--help | --version]", "man vellomar"], []),
    (["--version"], 0, ["vellomar {version}\n"], []),
    (["--verbose"], 2, [], ["vellomar: 无法识别的参数“--verbose”。", "man vellomar"]),
    (["--help", "--version"], 2, [], ["vellomar: 参数太多"]),
], ids=["help", "version", "unknown", "two"])
def test_command_arguments(root, tmp_path, version, args, status, out, err):
    ran = command(root, args, {"XDG_DATA_HOME": str(tmp_path)})
    assert ran.returncode == status, ran.stderr
    assert all(part.format(version=version) in ran.stdout for part in out) and bool(ran.stdout) == bool(out)
    assert all(part in ran.stderr for part in err) and bool(ran.stderr) == bool(err)
    assert os.listdir(tmp_path) == []


# The command's own failures, before the launcher starts: each says in one
# line of Chinese what is wrong and what to do, exits with 1, and neither
# makes nor changes anything, however often it is run. Each row: what is
# made first (a folder, a file, or a link "-> target"), the environment
# ({tmp} the test's folder), and parts of what is said.
@pytest.mark.parametrize("made, env, said", [
    ({}, {"XDG_DATA_HOME": "/proc"},
     ["无法创建起始文件夹 /proc/vellomar。", "用环境变量 XDG_DATA_HOME 指定另一个可写的文件夹"]),
    ({"file": ""}, {"XDG_DATA_HOME": "{tmp}/file/data"}, ["无法创建起始文件夹 {tmp}/file/data/vellomar。"]),
    ({"data/vellomar": ""}, {"XDG_DATA_HOME": "{tmp}/data"}, ["起始文件夹的位置 {tmp}/data/vellomar 已被一个文件占用"]),
    ({"data/vellomar/out_put_ver.exe/kept": ""}, {"XDG_DATA_HOME": "{tmp}/data"},
     ["起始文件夹中的 out_put_ver.exe 是一个文件夹", "请移走或改名这个文件夹"]),
    ({"a\\b/": None}, {"HOME": "{tmp}/a\\b"}, ["主文件夹（HOME）的路径中含有反斜杠 \\，", "用环境变量 XDG_DATA_HOME 另指"]),
    ({'a"b/': None}, {"HOME": '{tmp}/a"b'}, ["主文件夹（HOME）的路径中含有双引号 \"，", "XDG_DATA_HOME"]),
    ({"a\x01b/": None}, {"HOME": "{tmp}/a\x01b"}, ["主文件夹（HOME）的路径中含有控制字符（0x01）", "XDG_DATA_HOME"]),
    ({}, {"HOME": "{tmp}", "XDG_DATA_HOME": "{tmp}/a\nb"},
     ["环境变量 XDG_DATA_HOME 的路径中含有控制字符（换行符）", "请把 XDG_DATA_HOME 设为"]),
    ({"a\\b/": None, "data/vellomar": "-> a\\b"}, {"XDG_DATA_HOME": "{tmp}/data"},
     ["经符号链接后的实际路径中含有反斜杠 \\", "XDG_DATA_HOME"]),
    ({}, {}, ["未设置 HOME", "XDG_DATA_HOME"]),
], ids=["unwritable-data", "data-under-a-file", "start-is-a-file", "banner-is-a-folder", "home-backslash",
        "home-quote", "home-control", "data-newline", "start-links-to-backslash", "no-home"])
def test_command_failures_say_what_to_do(root, tmp_path, made, env, said):
    for name, content in made.items():
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        if content is None:
            path.mkdir()
        elif content.startswith("-> "):
            path.symlink_to(tmp_path / content[3:])
        else:
            path.write_text(content)
    before = tree(tmp_path)
    for _ in range(2):
        ran = command(root, [], {name: value.format(tmp=tmp_path) for name, value in env.items()})
        assert (ran.returncode, ran.stdout) == (1, "")
        # One line of its own: no tool's English.
        assert ran.stderr.startswith("vellomar: ") and ran.stderr.count("\n") == 1, ran.stderr
        assert all(part.format(tmp=tmp_path) in ran.stderr for part in said), ran.stderr
        assert tree(tmp_path) == before
