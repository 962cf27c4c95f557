"""Downloads through the Linux stand-in for PowerShell's curl, against a local
HTTPS site: what arrives, and that a failure never leaves the file behind."""

import io
import os
import re
import shutil
import signal
import subprocess
import time

import pexpect
import pytest

from conftest import strip_escapes
from dist import Site, make_certificate, wait_for

BODY = bytes(range(256)) * 4096  # 1 MiB


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


def test_progress_is_drawn_on_a_terminal(build, site, tmp_path):
    env = dict(os.environ, CURL_CA_BUNDLE=site.cert, TERM="xterm")
    child = pexpect.spawn(str(build / "vellomar-cmd"),
                          [f"powershell curl  -o out.bin {site.url('/files/big.bin')}"],
                          cwd=str(tmp_path), env=env, encoding="utf-8", timeout=30)
    child.expect(pexpect.EOF)
    child.close()
    assert child.exitstatus == 0
    assert "100%" in child.before and "\x1b[K" in child.before and "1.0 MiB" in child.before
    assert (tmp_path / "out.bin").read_bytes() == BODY


def test_without_the_powershell_stand_in_cmd_says_so(build, tmp_path):
    # The cmd stand-in looks for it beside the program it runs in, only there.
    alone = tmp_path / "alone"
    alone.mkdir()
    shutil.copy2(build / "vellomar-cmd", alone)
    done = subprocess.run([str(alone / "vellomar-cmd"), "powershell curl  -o out.bin https://127.0.0.1:9/x"],
                          cwd=tmp_path, capture_output=True, timeout=30)
    assert done.returncode == 9009 & 0xff
    assert done.stderr.decode() == "'powershell' 不是内部或外部命令，也不是可运行的程序\n或批处理文件。\n"
    assert leftovers(tmp_path) == ["alone"]
