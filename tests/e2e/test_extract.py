"""Extraction and compression through the Linux stand-ins for PowerShell's
Expand-Archive and Compress-Archive: structure, names, and all or nothing."""

import os
import re
import resource
import signal
import stat
import subprocess
import time
import zipfile

import pytest

# A run of Latin letters as libarchive's English messages hold them.
ENGLISH = re.compile(r"[A-Za-z]{4,}")


class RawName(zipfile.ZipInfo):
    """An entry whose name is written as the given bytes, without the UTF-8 flag,
    as Chinese Windows tools write GBK names."""

    def __init__(self, raw, **kw):
        super().__init__(raw.decode("latin-1"), **kw)
        self.raw = raw

    def _encodeFilenameFlags(self):
        return self.raw, self.flag_bits & ~0x800


def make_zip(path, entries):
    """entries: (name or ZipInfo, bytes or None for a folder) pairs."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in entries:
            if data is None:
                z.writestr(name if isinstance(name, zipfile.ZipInfo) else zipfile.ZipInfo(name), b"")
            else:
                z.writestr(name, data)
    return path


def link(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (stat.S_IFLNK | 0o777) << 16
    return info, target.encode()


def special(name, kind):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (kind | 0o644) << 16
    return info, b""


def run(build, folder, line, preexec=None, user=None):
    command = [str(build / "vellomar-cmd"), line]
    if user:
        command = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", "--"] + command
    return subprocess.run(command, cwd=folder, capture_output=True, timeout=60, preexec_fn=preexec)


def expand(build, folder, zip_name, dest, **kw):
    return run(build, folder, f"powershell Expand-Archive -LiteralPath '{zip_name}' -DestinationPath '{dest}'", **kw)


def own_words(message, names):
    """The message without the names it was given: the stand-in's own words."""
    for name in sorted(names, key=len, reverse=True):
        message = message.replace(name, "")
    return message


def names_in(entries):
    """The names and link targets of make_zip's entries."""
    found = []
    for name, data in entries:
        found.append(name.filename if isinstance(name, zipfile.ZipInfo) else name)
        if isinstance(name, zipfile.ZipInfo) and stat.S_ISLNK(name.external_attr >> 16):
            found.append(data.decode())
    return found


def snapshot(folder):
    """Every path below folder with its bytes (None for folders, the target for links)."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            rel = os.path.relpath(path, folder)
            if os.path.islink(path):
                found[rel] = ("link", os.readlink(path))
            elif os.path.isdir(path):
                found[rel] = None
            else:
                with open(path, "rb") as f:
                    found[rel] = f.read()
    return found


def test_structure_is_kept_and_existing_files_replaced(build, tmp_path):
    make_zip(tmp_path / "a.zip", [
        ("eula.txt", b"eula=true\n"),
        ("plugins/", None),
        ("plugins/deep/er/x.cfg", b"x"),
        ("world\\region\\r.0.0", b"region"),  # a Windows tool's separators
        ("服务器.txt", "你好".encode()),
    ])
    dest = tmp_path / "1.12.2"
    dest.mkdir()
    (dest / "eula.txt").write_bytes(b"old")
    (dest / "mine.txt").write_bytes(b"keep")
    done = expand(build, tmp_path, "a.zip", ".\\1.12.2")
    assert done.returncode == 0, done.stderr.decode()
    assert snapshot(dest) == {
        "eula.txt": b"eula=true\n", "mine.txt": b"keep", "plugins": None, "plugins/deep": None,
        "plugins/deep/er": None, "plugins/deep/er/x.cfg": b"x", "world": None, "world/region": None,
        "world/region/r.0.0": b"region", "服务器.txt": "你好".encode(),
    }
    assert sorted(os.listdir(tmp_path)) == ["1.12.2", "a.zip"]


def test_missing_destination_is_created_with_a_normal_mode(build, tmp_path):
    make_zip(tmp_path / "a.zip", [("eula.txt", b"e")])
    done = expand(build, tmp_path, "a.zip", "new\\dest")
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "new/dest/eula.txt").read_bytes() == b"e"
    assert stat.S_IMODE(os.stat(tmp_path / "new/dest").st_mode) == 0o777 & ~current_umask()


def test_entries_keep_their_unix_modes(build, tmp_path):
    # The mode each entry carries (None: made on Windows, none), and what it
    # gets: the umask and the set-id bits go.
    modes = {"bin/java": (0o100755, 0o755), "lib/": (0o40700, 0o700), "lib/secret": (0o100600, 0o600),
             "bin/setuid": (0o104755, 0o755), "README": (None, 0o666)}
    entries = []
    for name, (mode, _) in modes.items():
        info = zipfile.ZipInfo("jre/" + name)
        # Windows tools write the DOS attributes only (0x20: archive).
        info.create_system, info.external_attr = (0, 0x20) if mode is None else (3, mode << 16)
        entries.append((info, None if name.endswith("/") else b"#!/bin/sh\n"))
    make_zip(tmp_path / "a.zip", entries)
    done = expand(build, tmp_path, "a.zip", ".\\java8")
    assert done.returncode == 0, done.stderr.decode()
    for name, (_, want) in modes.items():
        got = stat.S_IMODE(os.stat(tmp_path / "java8" / "jre" / name).st_mode)
        assert got == want & ~current_umask(), name


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_gbk_names_without_the_utf8_flag(build, tmp_path):
    make_zip(tmp_path / "a.zip", [
        (RawName("插件/说明.txt".encode("gbk")), b"gbk"),
        ("中文名.txt", b"utf8"),  # zipfile sets the UTF-8 flag for these
    ])
    done = expand(build, tmp_path, "a.zip", "d")
    assert done.returncode == 0, done.stderr.decode()
    assert snapshot(tmp_path / "d") == {"插件": None, "插件/说明.txt": b"gbk", "中文名.txt": b"utf8"}


def damaged_archive(folder, kind):
    """Writes an archive of the kind that cannot be extracted; returns its file
    name and the names of its entries."""
    path = folder / f"{kind}.zip"
    if kind == "not-a-zip":
        path.write_bytes(b"this is not an archive" * 100)
        return path.name, []
    entries = {
        "long-name": [("a" * 300 + ".txt", b"x")],
        "clash": [("a/", None), ("a/x", b"1"), ("a", b"file")],
        # 0xFF starts no character in GBK, and the entry does not say UTF-8.
        "name": [(RawName(b"\xff\xfe\x80.txt"), b"x")],
        "encrypted": [("eula.txt", b"eula=true\n" * 100)],
    }.get(kind, [("eula.txt", b"eula=true\n" * 100), ("big.bin", os.urandom(200000))])
    if kind == "crc":
        # A stored entry whose bytes no longer match its CRC.
        entries = [("eula.txt", b"A" * 1000)]
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            z.writestr(*entries[0])
    else:
        make_zip(path, entries)
    raw = bytearray(path.read_bytes())
    if kind == "truncated":
        raw = raw[: len(raw) // 2]
    elif kind == "crc":
        raw[raw.index(b"A" * 1000) + 500] = ord("B")
    elif kind == "encrypted":
        # The flag of traditional encryption, in the local and the central header.
        for signature, at in ((b"PK\x03\x04", 6), (b"PK\x01\x02", 8)):
            raw[raw.index(signature) + at] |= 1
    path.write_bytes(bytes(raw))
    return path.name, names_in(entries)


# Each kind of archive that cannot be extracted, with the words that say why.
DAMAGED = [
    ("truncated", "不完整"),
    ("crc", "已损坏"),
    ("not-a-zip", "不是zip压缩文件"),
    ("encrypted", "已加密"),
    ("long-name", "名称过长"),
    ("name", "名称无法转换"),
    ("clash", "已存在"),
]


@pytest.mark.parametrize("kind, words", DAMAGED, ids=[kind for kind, _ in DAMAGED])
def test_damaged_archives_leave_the_destination_unchanged(build, tmp_path, kind, words):
    dest = tmp_path / "1.12.2"
    dest.mkdir()
    (dest / "mine.txt").write_bytes(b"keep")
    name, entries = damaged_archive(tmp_path, kind)
    before = snapshot(tmp_path)
    done = expand(build, tmp_path, name, "1.12.2")
    err = done.stderr.decode()
    assert done.returncode != 0
    assert words in err, err
    assert not ENGLISH.search(own_words(err, [name, str(tmp_path)] + entries)), err
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("entries", [
    [("../evil.txt", b"x")],
    [("ok.txt", b"fine"), ("a/../../evil.txt", b"x")],
    [("/tmp/evil-absolute.txt", b"x")],
    [("C:/evil.txt", b"x")],
    [link("passwd", "/etc/passwd")],
    [link("up", "../outside")],
    [link("d1/up", ".."), link("e", "d1/up/.."), ("e/evil.txt", b"x")],
    [link("d1/up", ".."), link("e", "d1/up/..")],
    [special("dev", stat.S_IFCHR)],
    # A link to a target that does not exist, out through a link made before it...
    [link("d/up", ".."), link("java", "d/up/../../rt-escaped.txt")],
    # ...or after it.
    [link("java", "d/up/../../rt-escaped.txt"), link("d/up", "..")],
    [link("a", "b"), link("b", "a")],
], ids=["dotdot", "inner-dotdot", "absolute", "drive", "link-absolute", "link-up", "link-chain-write",
        "link-chain", "device", "link-dangling", "link-dangling-later", "link-loop"])
def test_hostile_entries_are_refused(build, tmp_path, entries):
    work = tmp_path / "work"
    work.mkdir()
    make_zip(work / "h.zip", entries)
    before = snapshot(tmp_path)
    done = expand(build, work, "h.zip", "dest")
    err = done.stderr.decode()
    assert done.returncode != 0
    assert "拒绝" in err
    assert not ENGLISH.search(own_words(err, names_in(entries))), err
    assert snapshot(tmp_path) == before
    assert not os.path.exists("/tmp/evil-absolute.txt")


def test_links_inside_are_kept(build, tmp_path):
    make_zip(tmp_path / "a.zip", [("lib/real.txt", b"r"), link("lib/alias.txt", "real.txt"), link("top", "lib")])
    done = expand(build, tmp_path, "a.zip", "d")
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "d/lib/alias.txt").read_bytes() == b"r"
    assert os.readlink(tmp_path / "d/top") == "lib"


@pytest.fixture(scope="module")
def big_zip(tmp_path_factory):
    """An archive that takes a while to extract: 256 MiB of zeros in 64 entries."""
    path = tmp_path_factory.mktemp("big") / "big.zip"
    chunk = bytes(4 << 20)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(64):
            z.writestr(f"world/region/r.{i}.mca", chunk)
    return path


def signal_defaults():
    """Runs in the child: the signals a terminal sends end it, whatever the tests ignore."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def start_extraction(build, folder, zip_path):
    """Starts extracting zip_path into folder/1.12.2; returns the process and its
    staging folder as soon as the first entry is being written there."""
    child = subprocess.Popen(
        [str(build / "vellomar-cmd"), f"powershell Expand-Archive -LiteralPath '{zip_path}' -DestinationPath '1.12.2'"],
        cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=signal_defaults)
    end = time.monotonic() + 30
    while time.monotonic() < end and child.poll() is None:
        for name in os.listdir(folder):
            try:
                if name.startswith(".1.12.2.extract-") and os.listdir(folder / name):
                    return child, folder / name
            except FileNotFoundError:
                pass
    child.kill()
    child.wait()
    pytest.fail("the extraction was never seen under way")


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["int", "term", "hup"])
def test_a_signal_during_extraction_removes_its_staging_folder(build, tmp_path, big_zip, sig):
    dest = tmp_path / "1.12.2"
    dest.mkdir()
    (dest / "mine.txt").write_bytes(b"keep")
    before = snapshot(tmp_path)
    child, _ = start_extraction(build, tmp_path, big_zip)
    child.send_signal(sig)
    assert child.wait(timeout=30) == -sig
    assert snapshot(tmp_path) == before


def test_a_sweep_spares_a_running_extraction_and_takes_a_killed_ones(build, tmp_path, big_zip):
    make_zip(tmp_path / "small.zip", [("eula.txt", b"e")])
    first, stage = start_extraction(build, tmp_path, big_zip)
    try:
        # Stopped, it holds its staging folder as long as the test likes.
        first.send_signal(signal.SIGSTOP)
        second = expand(build, tmp_path, "small.zip", "1.12.2")
        assert second.returncode == 0, second.stderr.decode()
        assert stage.is_dir()
        first.kill()
        first.wait()
        third = expand(build, tmp_path, "small.zip", "1.12.2")
        assert third.returncode == 0, third.stderr.decode()
        assert sorted(os.listdir(tmp_path)) == ["1.12.2", "small.zip"]
        assert snapshot(tmp_path / "1.12.2") == {"eula.txt": b"e"}
    finally:
        first.kill()
        first.wait()


def small_disk():
    """Runs in the child: no file may grow past 100 kB, as on a nearly full disk."""
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (100000, 100000))


def test_full_disk_leaves_nothing_behind(build, tmp_path):
    make_zip(tmp_path / "a.zip", [("eula.txt", b"e"), ("big.bin", os.urandom(300000))])
    before = snapshot(tmp_path)
    done = expand(build, tmp_path, "a.zip", "d", preexec=small_disk)
    assert done.returncode != 0
    assert "磁盘空间不足" in done.stderr.decode()
    assert snapshot(tmp_path) == before


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run as another user")
def test_unwritable_destination(build, tmp_path):
    make_zip(tmp_path / "a.zip", [("eula.txt", b"e")])
    os.chmod(tmp_path, 0o755)
    os.chmod(tmp_path / "a.zip", 0o644)
    (tmp_path / "d").mkdir(mode=0o755)
    before = snapshot(tmp_path)
    done = expand(build, tmp_path, "a.zip", "d", user=65534)
    assert done.returncode != 0
    assert "拒绝访问" in done.stderr.decode()
    assert snapshot(tmp_path) == before


@pytest.mark.parametrize("linked", [False, True], ids=["folder", "link to a folder"])
def test_compress_stores_a_folder_under_its_name(build, tmp_path, linked):
    src = tmp_path / "1.12.2"
    if linked:
        # Moved to another disk and linked back: stored as what it leads to,
        # under the link's name, as PowerShell lists a folder through a link.
        (tmp_path / "other disk" / "moved").mkdir(parents=True)
        src.symlink_to(tmp_path / "other disk" / "moved")
    (src / "world").mkdir(parents=True)
    (src / "eula.txt").write_bytes(b"eula=true\n" * 50)
    (src / "world" / "世界.dat").write_bytes(b"w")
    # Data compressed already is stored; a large file that shrinks, deflated.
    (src / "world" / "r.0.0.mca").write_bytes(os.urandom(300000))
    (src / "world" / "big.log").write_bytes(b"a line of a log\n" * 20000)
    # A link inside stays a link.
    (src / "world" / "latest.log").symlink_to("big.log")
    done = run(build, tmp_path, "powershell Compress-Archive '1.12.2' 'backup.zip'")
    assert done.returncode == 0, done.stderr.decode()
    with zipfile.ZipFile(tmp_path / "backup.zip") as z:
        assert z.testzip() is None
        names = {i.filename: i for i in z.infolist()}
        assert set(names) == {"1.12.2/", "1.12.2/eula.txt", "1.12.2/world/", "1.12.2/world/世界.dat",
                              "1.12.2/world/r.0.0.mca", "1.12.2/world/big.log", "1.12.2/world/latest.log"}
        assert names["1.12.2/eula.txt"].compress_type == zipfile.ZIP_DEFLATED
        assert names["1.12.2/world/big.log"].compress_type == zipfile.ZIP_DEFLATED
        assert names["1.12.2/world/r.0.0.mca"].compress_type == zipfile.ZIP_STORED
        assert z.read("1.12.2/eula.txt") == b"eula=true\n" * 50
    # Round trip through our own extraction.
    done = expand(build, tmp_path, "backup.zip", "copy")
    assert done.returncode == 0, done.stderr.decode()
    assert snapshot(tmp_path / "copy/1.12.2") == snapshot(src)


def test_compress_refuses_to_overwrite(build, tmp_path):
    (tmp_path / "f.txt").write_bytes(b"f")
    (tmp_path / "out.zip").write_bytes(b"precious")
    done = run(build, tmp_path, "powershell Compress-Archive 'f.txt' 'out.zip'")
    assert done.returncode != 0
    assert "已存在" in done.stderr.decode()
    assert (tmp_path / "out.zip").read_bytes() == b"precious"
    assert sorted(os.listdir(tmp_path)) == ["f.txt", "out.zip"]


def test_compress_on_a_full_disk_says_so_and_leaves_nothing(build, tmp_path):
    (tmp_path / "big.bin").write_bytes(os.urandom(300000))
    before = snapshot(tmp_path)
    done = run(build, tmp_path, "powershell Compress-Archive 'big.bin' 'out.zip'", preexec=small_disk)
    assert done.returncode != 0
    assert "磁盘空间不足" in done.stderr.decode()
    assert snapshot(tmp_path) == before


def test_missing_archive_is_reported(build, tmp_path):
    done = expand(build, tmp_path, "none.zip", "d")
    assert done.returncode != 0
    assert "none.zip" in done.stderr.decode()
    assert os.listdir(tmp_path) == []
