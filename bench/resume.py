"""Downloads over a link that drops: a 64 MiB server archive from a local
site that closes the connection after every 8 MiB of an answer. For each
client, the body bytes the site sent until the client had the file, against
the archive's size, and the time it took; curl and wget for comparison, and
key 1 of the launcher installing the archive.

    /usr/bin/python3 bench/resume.py [BUILD]     (default build/release)

A client that has not finished after 200 MiB sent or 120 s is stopped and
reported as not finished."""
import collections
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

import pexpect

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from dist import Site, make_certificate  # noqa: E402

ARCHIVE = "tarnwick/server/1.12.2.zip"
SIZE = 64 << 20
DROP = 8 << 20
MAX_SENT = 200 << 20
MAX_SECONDS = 120
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else HERE.parent / "build" / "release").resolve()
work = pathlib.Path(tempfile.mkdtemp(prefix="vellomar-resume-"))


def archive(size):
    """A zip of exactly size bytes holding eula.txt and spigot-1.12.2.jar, the
    jar stored, of random bytes (nothing to gain from compression)."""
    eula = (HERE.parent / "site" / "demo" / "eula.txt").read_bytes()
    jar = random.Random(13).randbytes(size)

    def make(length):
        path = work / "archive.zip"
        with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as z:
            z.writestr("eula.txt", eula)
            z.writestr("spigot-1.12.2.jar", jar[:length])
        return path.read_bytes()

    first = make(size)
    return make(size - (len(first) - size))


class Run:
    """What one client cost the site."""

    def __init__(self, name, command):
        self.name, self.command = name, command
        self.finished = False
        self.identical = None
        self.seconds = None
        self.site = None

    def bounded(self, began):
        """Whether the client is past its allowance of bytes or time."""
        return self.site.sent > MAX_SENT or time.monotonic() - began > MAX_SECONDS


def fresh_site(body, cert, key):
    site = Site(cert, key)
    site.files[ARCHIVE] = body
    site.drop_after = DROP
    return site


def run_program(run, body, cert, key, out):
    """Runs run.command, a download to out, until it ends or is out of bounds."""
    site = run.site = fresh_site(body, cert, key)
    url = site.url("/" + ARCHIVE)
    argv = [a.replace("CERT", cert).replace("FILE", str(out)).replace("URL", url) for a in run.command]
    try:
        with open(work / f"{run.name}.log", "wb") as log:
            began = time.monotonic()
            child = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            try:
                while child.poll() is None and not run.bounded(began):
                    time.sleep(0.05)
            finally:
                if child.poll() is None:
                    child.terminate()
                    try:
                        child.wait(10)
                    except subprocess.TimeoutExpired:
                        child.kill()
                        child.wait(10)
            run.seconds = time.monotonic() - began
        run.finished = child.returncode == 0
        run.identical = out.exists() and out.read_bytes() == body
    finally:
        site.close()


def run_launcher(run, body, cert, key):
    """Key 1 and answer "1" in the launcher, in a pseudo-terminal, until the
    Java prompt shows or the run is out of bounds."""
    site = run.site = fresh_site(body, cert, key)
    start = work / "start"
    shutil.rmtree(start, ignore_errors=True)
    start.mkdir()
    shutil.copy2(build / "out_put_ver.exe", start)
    env = {k: v for k, v in os.environ.items() if k not in ("LC_ALL", "LC_CTYPE", "DISPLAY", "WAYLAND_DISPLAY")}
    env.update(TERM="xterm", LANG="C.UTF-8", CURL_CA_BUNDLE=cert, VELLOMAR_DIST_HOST=site.host)
    child = pexpect.spawn(str(build / "vellomar"), cwd=str(start), env=env, encoding="utf-8", dimensions=(24, 80),
                          timeout=30)
    try:
        child.expect_exact("按3返回")
        child.send("1")
        child.expect_exact("红色的那个数字")
        began = time.monotonic()
        child.sendline("1")
        while not run.bounded(began):
            if child.expect_exact([JAVA_PROMPT, pexpect.TIMEOUT], timeout=0.2) == 0:
                run.finished = True
                break
        run.seconds = time.monotonic() - began
    finally:
        child.close(force=True)
        site.close()
    got = start / "vellomar" / "1.12.2.zip"
    run.identical = got.exists() and got.read_bytes() == body


def answers(site):
    """The statuses answered, with how often each, and whether If-Range came."""
    counts = collections.Counter(a.status for a in site.answers)
    text = " ".join(f"{status}×{n}" for status, n in sorted(counts.items(), key=lambda c: str(c[0])))
    if any(a.if_range for a in site.answers):
        text += ", If-Range"
    return text


def main():
    if not (build / "vellomar").exists():
        sys.exit(f"{build}/vellomar is missing: build it first (cmake --build --preset release)")
    try:
        cert, key = make_certificate(str(work))
        body = archive(SIZE)
        runs = [
            Run("curl", ["curl", "-sS", "-C", "-", "--retry", "20", "--retry-all-errors", "--cacert", "CERT",
                         "-o", "FILE", "URL"]),
            Run("wget", ["wget", "-nv", "-c", "--tries=20", "--ca-certificate=CERT", "-O", "FILE", "URL"]),
            Run("vellomar", ["key 1, answer 1, until the Java prompt"]),
        ]
        for run in runs:
            print(f"{run.name} ...", flush=True)
            if run.name == "vellomar":
                run_launcher(run, body, cert, key)
            else:
                out = work / f"{run.name}.out"
                run_program(run, body, cert, key, out)
                out.unlink(missing_ok=True)
        mib = 1 << 20
        print(f"\n{len(body) / mib:.0f} MiB archive, the site drops the connection after {DROP / mib:.0f} MiB of every "
              f"answer; a client is stopped after {MAX_SENT / mib:.0f} MiB sent or {MAX_SECONDS} s")
        print(f"{'client':10s} {'finished':>14s} {'sent MiB':>9s} {'sent/size':>9s} {'time s':>7s} {'same file':>9s}"
              "  answers")
        for run in runs:
            sent = run.site.sent
            print(f"{run.name:10s} {'yes' if run.finished else 'did not finish':>14s} {sent / mib:9.1f} "
                  f"{sent / len(body):9.2f} {run.seconds:7.1f} {'yes' if run.identical else 'no':>9s}  "
                  f"{answers(run.site)}")
        for run in runs:
            print(f"  {run.name}: {' '.join(run.command)}")
        print("  time: to the end of the command; for vellomar from answering \"1\" to the Java prompt")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
