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
# Every file the package holds; the folders above them go with them.
FILES = {"usr/bin/vellomar", f"{LIB}/vellomar", f"{LIB}/vellomar-powershell", f"{LIB}/vellomar-fetch",
         f"{LIB}/vellomar-cmd", f"{LIB}/out_put_ver.exe", "usr/share/doc/vellomar/copyright"}


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


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", str(deb), name], capture_output=True, text=True, check=True).stdout.strip()


def test_deb_unpacked_in_a_scratch_root_runs_in_the_users_own_start_folder(deb, tmp_path, version, dist_site,
                                                                            demo_archive):
    assert (field(deb, "Package"), field(deb, "Version"), field(deb, "Architecture")) == ("vellomar", version, "amd64")
    # The libraries the programs link, as shlibdeps found them.
    depends = [part.split()[0] for part in field(deb, "Depends").split(",")]
    assert {"libc6", "libstdc++6", "libcurl4", "libarchive13"} <= set(depends)

    root = tmp_path / "root"
    subprocess.run(["dpkg", "-x", str(deb), str(root)], check=True)
    files = {str(p.relative_to(root)) for p in root.rglob("*") if not p.is_dir()}
    assert files == FILES
    for name in FILES - {"usr/share/doc/vellomar/copyright"}:
        assert stat.S_IMODE((root / name).stat().st_mode) == 0o755, name

    home, elsewhere = tmp_path / "home", tmp_path / "elsewhere"
    home.mkdir()
    elsewhere.mkdir()
    command = root / "usr/bin/vellomar"
    sessions = []

    def run(env):
        child, log = spawn_in_pty(command, cwd=str(elsewhere), timeout=30,
                                  env=term_env({"LANG": "C.UTF-8", "HOME": str(home), **env}))
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
