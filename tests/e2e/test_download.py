"""Downloads through the Linux stand-in for PowerShell's curl, against a local
HTTPS site: what arrives, and that a failure never leaves the file behind."""

import io
import os
import random
import re
import shutil
import signal
import subprocess
import time

import pexpect
import pytest

from conftest import render, strip_escapes
from dist import Site, make_certificate, wait_for

BODY = bytes(range(256)) * 4096  # 1 MiB
# A file whose download breaks off after DROP bytes, and versions of it.
RESUMED = random.Random(13).randbytes(1 << 20)
CHANGED = random.Random(14).randbytes(1 << 20)
DROP = 256 << 10
PARTIAL = ".out.bin.partial"


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    folder = tmp_path_factory.mktemp("site")
    cert, key = make_certificate(str(folder))
    s = Site(cert, key)
    s.files["big.bin"] = BODY
    yield s
    s.close()


def fetch(build, folder, url, name="out.bin", trust=None, env_extra=None, timeout=60):
    env = dict(os.environ)
    env.pop("CURL_CA_BUNDLE", None)
    env.pop("SSL_CERT_FILE", None)
    if trust:
        env["CURL_CA_BUNDLE"] = trust
    env.update(env_extra or {})
    return subprocess.run([str(build / "vellomar-cmd"), f"powershell curl  -o {name} {url}"],
                          cwd=folder, env=env, capture_output=True, timeout=timeout)


def leftovers(folder):
    return sorted(p.name for p in folder.iterdir())


def test_success_saves_the_body_whole(build, site, tmp_path):
    done = fetch(build, tmp_path, site.url("/files/big.bin"), trust=site.cert)
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "out.bin").read_bytes() == BODY
    assert leftovers(tmp_path) == ["out.bin"]
    # Not a terminal: no progress bar.
    assert b"\r" not in done.stdout


def test_ssl_cert_file_is_trusted_too(build, site, tmp_path):
    done = fetch(build, tmp_path, site.url("/files/big.bin"), env_extra={"SSL_CERT_FILE": site.cert})
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "out.bin").read_bytes() == BODY


@pytest.mark.parametrize("path, cause", [
    ("/status/404", "服务器返回状态 404"),
    ("/status/500", "服务器返回状态 500"),
    ("/redirect/11/big.bin", "重定向次数过多"),
    ("/downgrade/big.bin", "HTTPS"),
    ("/drop/big.bin", "没有下载完整"),
    ("/partial/big.bin", "服务器返回状态 206"),
])
def test_failures_leave_no_file(build, site, tmp_path, path, cause):
    done = fetch(build, tmp_path, site.url(path), trust=site.cert)
    err = done.stderr.decode()
    assert done.returncode != 0
    assert site.url(path) in err and cause in err, err
    # In Chinese, but for the address and the protocol's name: none of curl's English.
    assert not re.search(r"[A-Za-z]{4,}", err.replace(site.url(path), "").replace("HTTPS", "")), err
    assert leftovers(tmp_path) == []


def test_failure_keeps_an_existing_file_as_it_was(build, site, tmp_path):
    (tmp_path / "out.bin").write_bytes(b"old")
    done = fetch(build, tmp_path, site.url("/status/404"), trust=site.cert)
    assert done.returncode != 0
    assert leftovers(tmp_path) == ["out.bin"]
    assert (tmp_path / "out.bin").read_bytes() == b"old"


def test_redirects_are_followed(build, site, tmp_path):
    done = fetch(build, tmp_path, site.url("/redirect/3/big.bin"), trust=site.cert)
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "out.bin").read_bytes() == BODY


def test_untrusted_certificate_is_refused(build, site, tmp_path):
    done = fetch(build, tmp_path, site.url("/files/big.bin"))
    assert done.returncode != 0
    assert "证书" in done.stderr.decode()
    assert leftovers(tmp_path) == []


def test_stalled_transfer_ends(build, site, tmp_path):
    start = time.monotonic()
    done = fetch(build, tmp_path, site.url("/stall/big.bin"), trust=site.cert, timeout=90)
    took = time.monotonic() - start
    assert done.returncode != 0
    assert "停滞" in done.stderr.decode()
    assert took < 60
    assert leftovers(tmp_path) == []


def signal_defaults():
    """Runs in the child: the signals a terminal sends end it, whatever the tests ignore."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=["int", "term", "hup"])
def test_interrupted_download_leaves_nothing(build, site, tmp_path, sig):
    env = dict(os.environ, CURL_CA_BUNDLE=site.cert, TERM="xterm")
    child = pexpect.spawn(str(build / "vellomar-cmd"), [f"powershell curl  -o out.bin {site.url('/stall/big.bin')}"],
                          cwd=str(tmp_path), env=env, encoding="utf-8", timeout=30, preexec_fn=signal_defaults)
    child.logfile_read = log = io.StringIO()
    try:
        # The progress line is drawn once the first bytes are in.
        child.expect(r"\x1b\[K")
        assert any(n.startswith(".out.bin.part-") for n in leftovers(tmp_path))
        if sig == signal.SIGINT:
            child.sendintr()
        else:
            child.kill(sig)
        child.expect(pexpect.EOF)
        child.close()
        assert child.signalstatus == sig
    finally:
        child.close(force=True)
    assert leftovers(tmp_path) == []
    # The progress line is ended: what follows starts at the left edge.
    text = log.getvalue()
    assert strip_escapes(text[text.rfind("\r "):]).endswith("\n"), repr(text[-200:])


def test_a_second_download_leaves_the_first_ones_temporary_file(build, site, tmp_path):
    env = dict(os.environ, CURL_CA_BUNDLE=site.cert)
    first = subprocess.Popen([str(build / "vellomar-cmd"), f"powershell curl  -o out.bin {site.url('/stall/big.bin')}"],
                             cwd=tmp_path, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        assert wait_for(lambda: any(n.startswith(".out.bin.part-") for n in leftovers(tmp_path)))
        temp = leftovers(tmp_path)
        second = fetch(build, tmp_path, site.url("/files/big.bin"), trust=site.cert)
        assert second.returncode == 0, second.stderr.decode()
        assert first.poll() is None
        assert leftovers(tmp_path) == sorted(temp + ["out.bin"])
        # Killed outright, it leaves its file to the next download's sweep.
        first.kill()
        first.wait()
        third = fetch(build, tmp_path, site.url("/files/big.bin"), trust=site.cert)
        assert third.returncode == 0, third.stderr.decode()
        assert leftovers(tmp_path) == ["out.bin"]
    finally:
        first.kill()
        first.wait()


# Each row: whether the download continues a partial file, the terminal's
# width, and how the progress line reads at the end.
@pytest.mark.parametrize("resumed, cols, last", [
    (False, 80, " 1.0 MiB / 1.0 MiB  100%  "),
    (True, 80, " 1.0 MiB / 1.0 MiB  100%  "),
    (False, 36, " 1.0 MiB / 1.0 MiB  100%"),
    (False, 12, " 1.0 MiB"),
], ids=["whole", "resumed", "36 columns", "12 columns"])
def test_progress_is_drawn_on_a_terminal(build, site, tmp_path, resumed, cols, last):
    url = site.url("/files/big.bin")
    if resumed:
        site.files["progress.bin"] = BODY
        site.options["progress.bin"] = {"drop_after": DROP}
        url = site.url("/files/progress.bin")
        assert fetch(build, tmp_path, url, trust=site.cert).returncode != 0
        site.options["progress.bin"] = {}
    env = dict(os.environ, CURL_CA_BUNDLE=site.cert, TERM="xterm")
    child = pexpect.spawn(str(build / "vellomar-cmd"), [f"powershell curl  -o out.bin {url}"],
                          cwd=str(tmp_path), env=env, encoding="utf-8", timeout=30, dimensions=(24, cols))
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "\x1b[K" in child.before
    # One row, drawn over and over, never wrapped into the next: the bytes
    # resumed count as there, and the bar ends at the whole file.
    screen = render(child.before, cols)
    drawn = [row for row in screen.display if "B" in row]
    assert len(drawn) == 1 and drawn[0].startswith(last), screen.display
    assert (tmp_path / "out.bin").read_bytes() == BODY


@pytest.mark.parametrize("programs,code,said", [
    (["vellomar-cmd"], 9009 & 0xff, "'powershell' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。\n"),
    (["vellomar-cmd", "vellomar-powershell"], 1,
     "下载失败: https://127.0.0.1:9/x\n原因: 无法运行下载程序 vellomar-fetch：路径不存在\n"),
])
def test_without_a_stand_in_beside_it_says_so(build, tmp_path, programs, code, said):
    # Each stand-in looks for the next beside the program it runs in, only there.
    alone = tmp_path / "alone"
    alone.mkdir()
    for program in programs:
        shutil.copy2(build / program, alone)
    done = subprocess.run([str(alone / "vellomar-cmd"), "powershell curl  -o out.bin https://127.0.0.1:9/x"],
                          cwd=tmp_path, capture_output=True, timeout=30)
    assert done.returncode == code
    assert done.stderr.decode() == said
    assert leftovers(tmp_path) == ["alone"]


def aged(build, site, folder, url):
    """The partial file was kept two days ago."""
    old = time.time() - 2 * 24 * 3600
    os.utime(folder / PARTIAL, (old, old))
    return url


def ahead(days):
    """The partial file is dated days ahead: the clock was set back since."""

    def date(build, site, folder, url):
        later = time.time() + days * 24 * 3600
        os.utime(folder / PARTIAL, (later, later))
        return url

    return date


def damaged(build, site, folder, url):
    """The partial file lost its last byte, and with it the end of its record."""
    kept = (folder / PARTIAL).read_bytes()
    (folder / PARTIAL).write_bytes(kept[:-1])
    return url


def another_address(build, site, folder, url):
    """The next download to the same file is of another address."""
    site.files["other-" + url.rsplit("/", 1)[1]] = RESUMED
    return url.replace("/files/", "/files/other-")


def another_address_failed(build, site, folder, url):
    """A download of another address to the same file fails: the partial file
    stays as it was, for its own address."""
    before = (folder / PARTIAL).read_bytes()
    done = fetch(build, folder, site.url("/status/503"), trust=site.cert)
    assert done.returncode != 0 and "503" in done.stderr.decode()
    assert leftovers(folder) == [PARTIAL] and (folder / PARTIAL).read_bytes() == before
    return url


def not_found_once(build, site, folder, url):
    """An attempt that gets no part of the file keeps the partial file as it was."""
    before = (folder / PARTIAL).read_bytes(), (folder / PARTIAL).stat().st_mtime_ns
    done = fetch(build, folder, url, trust=site.cert)
    assert done.returncode != 0 and "服务器返回状态 404" in done.stderr.decode()
    assert leftovers(folder) == [PARTIAL]
    assert ((folder / PARTIAL).read_bytes(), (folder / PARTIAL).stat().st_mtime_ns) == before
    return url


NO_VALIDATORS = {"etag": False, "last_modified": False}


# Each row: the file's options for the first download, which breaks off after
# DROP bytes; the bodies it answers with in turn (None: a 404); its options
# after that; what happens in between (giving the address to fetch next);
# then whether the next download asks for the rest, the statuses it gets,
# and what it saves.
@pytest.mark.parametrize("first, bodies, then, between, ranged, statuses, saved", [
    ({}, [RESUMED], {}, None, True, [206], RESUMED),
    ({"etag": False}, [RESUMED], {"etag": False}, None, True, [206], RESUMED),
    ({}, [RESUMED, None, RESUMED], {}, not_found_once, True, [206], RESUMED),
    ({}, [RESUMED, CHANGED], {}, None, True, [200], CHANGED),
    ({"etag": '"same"'}, [RESUMED, CHANGED[:DROP // 2]], {"etag": '"same"'}, None, True, [416, 200],
     CHANGED[:DROP // 2]),
    ({"etag": '"same"'}, [RESUMED, CHANGED + b"longer"], {"etag": '"same"'}, None, True, [206, 200],
     CHANGED + b"longer"),
    ({}, [RESUMED], {"ranges": False}, None, True, [200], RESUMED),
    (NO_VALIDATORS, [RESUMED], NO_VALIDATORS, None, False, [200], RESUMED),
    ({"etag": 'W/"weak"', "last_modified": False}, [RESUMED], {}, None, False, [200], RESUMED),
    ({}, [RESUMED], {}, aged, False, [200], RESUMED),
    ({}, [RESUMED], {}, ahead(2), False, [200], RESUMED),
    ({}, [RESUMED], {}, ahead(1 / 24), True, [206], RESUMED),
    ({}, [RESUMED], {}, damaged, False, [200], RESUMED),
    ({}, [RESUMED], {}, another_address, False, [200], RESUMED),
    ({}, [RESUMED], {}, another_address_failed, True, [206], RESUMED),
], ids=["continues", "by its date", "after a 404", "changed", "416", "206 of another length",
        "ranges ignored", "no validators", "weak etag only", "kept too long ago", "from the future",
        "an hour ahead", "record damaged", "another address", "another address failed between"])
def test_a_broken_download_continues_only_what_it_can_trust(build, site, tmp_path, request, first, bodies, then,
                                                            between, ranged, statuses, saved):
    name = f"resume-{request.node.callspec.id.replace(' ', '-')}.bin"
    url = site.url("/files/" + name)
    site.files[name] = list(bodies)
    site.options[name] = dict(first, drop_after=DROP)
    broke = fetch(build, tmp_path, url, trust=site.cert)
    assert broke.returncode != 0 and "没有下载完整" in broke.stderr.decode()
    etag, modified = site.validators(name, bodies[0])
    named = (etag and not etag.startswith("W/")) or modified
    assert leftovers(tmp_path) == ([PARTIAL] if named else [])
    site.options[name] = then
    if between:
        url = between(build, site, tmp_path, url)
    asked = len(site.answers)
    done = fetch(build, tmp_path, url, trust=site.cert)
    assert done.returncode == 0, done.stderr.decode()
    assert (tmp_path / "out.bin").read_bytes() == saved
    # The partial file is gone with the file in place.
    assert leftovers(tmp_path) == ["out.bin"]
    answers = site.answers[asked:]
    assert [a.status for a in answers] == statuses
    if ranged:
        # The rest, only while it is the resource the first answer named.
        assert (answers[0].range, answers[0].if_range) == (f"bytes={DROP}-", etag or modified)
    else:
        assert (answers[0].range, answers[0].if_range) == (None, None)
    # Starting over asks for the whole.
    assert all(a.range is None and a.if_range is None for a in answers[1:])
    if statuses == [206]:
        # Only the bytes that were missing crossed the network again.
        assert sum(a.sent for a in site.answers if a.path.endswith("/" + name)) == len(saved)


def test_a_signal_during_a_resumed_download_removes_the_partial_file(build, site, tmp_path):
    name = "resume-then-signal.bin"
    url = site.url("/files/" + name)
    # The second answer never comes: the download waits until it is ended.
    site.files[name] = [RESUMED, lambda: site.stop.wait(60) and None]
    site.options[name] = {"drop_after": DROP}
    assert fetch(build, tmp_path, url, trust=site.cert).returncode != 0
    assert leftovers(tmp_path) == [PARTIAL]
    env = dict(os.environ, CURL_CA_BUNDLE=site.cert)
    child = subprocess.Popen([str(build / "vellomar-cmd"), f"powershell curl  -o out.bin {url}"], cwd=tmp_path,
                             env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             preexec_fn=signal_defaults)
    try:
        # Taken over under a temporary name while the request waits.
        asked = lambda: sum(a.path.endswith("/" + name) for a in site.answers)  # noqa: E731
        assert wait_for(lambda: asked() == 2 and PARTIAL not in leftovers(tmp_path))
        assert [n[:14] for n in leftovers(tmp_path)] == [".out.bin.part-"]
        child.send_signal(signal.SIGTERM)
        assert child.wait(30) == -signal.SIGTERM
    finally:
        child.kill()
        child.wait()
    assert leftovers(tmp_path) == []
