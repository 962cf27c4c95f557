"""The world's backup before a start. Side by side in one run:

- the zip of a world-like folder (about 200 MB in 2,000 files: region-like
  files of random bytes, and small compressible ones) made by the line the
  launcher composes, run through the cmd stand-in, against bsdtar -a -cf
  making the same zip (hyperfine; both sizes shown);
- in the launcher itself, from answering "1" at the start prompt to the
  server running: with no world, with that world changed since the last
  backup (a backup is made), and with a world of 10,000 files unchanged (only
  the check runs). The differences to no world are the backup's and the
  check's own cost.

    /usr/bin/python3 bench/backup.py [BUILD]     (default build/release)"""
import json
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pexpect

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
rounds = 15
RUNNING = "\x1b]0;服务器正在运行\x07"


def world_like(folder, seed=19):
    """About 200 MB in 2,000 files: 180 region files of random bytes (what a
    region holds is compressed already) and 1,820 small files of words."""
    rng = random.Random(seed)
    (folder / "region").mkdir(parents=True)
    for i in range(180):
        (folder / "region" / f"r.{i % 14}.{i // 14}.mca").write_bytes(os.urandom(rng.randrange(800_000, 1_400_000)))
    words = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(3, 9))) for _ in range(400)]
    for sub in ("data", "playerdata", "stats"):
        (folder / sub).mkdir()
    for i in range(1820):
        size = rng.randrange(2_000, 20_000)
        text = b" ".join(rng.choice(words) for _ in range(size // 5))
        (folder / ("data", "playerdata", "stats")[i % 3] / f"f{i}.dat").write_bytes(text[:size])


def many_files(folder, count=10_000):
    for i in range(count):
        sub = folder / f"d{i // 100}"
        sub.mkdir(parents=True, exist_ok=True)
        (sub / f"c.{i}.dat").write_bytes(b"x" * (i % 300))


def zip_side_by_side(work):
    out = work / "out"
    out.mkdir()
    ours = f"{build / 'vellomar-cmd'} \"powershell Compress-Archive 'world' 'out\\x.zip'\""
    theirs = "bsdtar -a -cf out/x.zip world"
    times = {"vellomar": [], "bsdtar": []}
    sizes = {}
    export = work / "hf.json"
    # The turns alternate which goes first, so that drift favours neither.
    for turn in range(2):
        order = [("vellomar", ours), ("bsdtar", theirs)][:: 1 if turn == 0 else -1]
        args = ["hyperfine", "--warmup", "1", "--runs", "3", "--export-json", str(export)]
        for label, command in order:
            args += ["--prepare", "rm -f out/x.zip; sync", "-n", label, command]
        subprocess.run(args, check=True, cwd=work, stdout=subprocess.DEVNULL)
        for r in json.loads(export.read_text())["results"]:
            times[r["command"]] += r["times"]
    for label, command in (("vellomar", ours), ("bsdtar", theirs)):
        (out / "x.zip").unlink(missing_ok=True)
        subprocess.run(command, shell=True, check=True, cwd=work)
        sizes[label] = (out / "x.zip").stat().st_size
    source = sum(p.stat().st_size for p in (work / "world").rglob("*") if p.is_file())
    print(f"zip of a world of {source / 1e6:.1f} MB in 2,000 files ({len(times['bsdtar'])} runs each)")
    for label in times:
        print(f"  {label:9s} median {statistics.median(times[label]):6.3f} s, zip {sizes[label] / 1e6:.1f} MB")
    print(f"  ratio vellomar / bsdtar: {statistics.median(times['vellomar']) / statistics.median(times['bsdtar']):.3f}")


def launcher_starts(work):
    """Median time from answering "1" to the server running, per world."""
    start = work / "start"
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    shutil.copy2(build / "out_put_ver.exe", start)
    (server / "eula.txt").write_text("eula=true\n")
    java = work / "java"
    # Answers -version as Java 8 does; as the server, ends at once.
    java.write_text("#!/bin/sh\n[ \"$1\" = -version ] && echo 'java version \"1.8.0_392\"' >&2\nexit 0\n")
    java.chmod(0o755)
    (server / "java").write_text(f"{java} \n")
    env = dict(os.environ, TERM="xterm", LANG="C.UTF-8")
    child = pexpect.spawn(str(build / "vellomar"), cwd=start, env=env, encoding="utf-8", timeout=120)
    child.expect("按3返回")

    def once(before=None):
        if before:
            before()
        child.send("2")
        child.expect_exact("请输入要启动的服务器的编号:")
        began = time.monotonic()
        child.send("1\r")
        child.expect_exact(RUNNING)
        took = time.monotonic() - began
        child.expect_exact("服务器已关闭!")
        child.send("\r")
        child.expect("按3返回")
        return took

    def median(before=None):
        once(before)  # warms the caches, and makes the first backup
        return statistics.median(once(before) for _ in range(rounds))

    none = median()
    shutil.move(work / "world", server / "world")
    level = server / "world" / "data" / "f0.dat"
    changed = median(lambda: os.utime(level, ns=(time.time_ns(), time.time_ns())))
    shutil.rmtree(server / "world")
    shutil.rmtree(start / "vellomar" / "backups")
    many_files(server / "world")
    unchanged = median()
    child.send("3")
    child.expect(pexpect.EOF)
    print(f"\nthe launcher, from answering 1 to the server running (median of {rounds}):")
    print(f"  no world                           {none * 1000:8.1f} ms")
    print(f"  200 MB world changed: backup made  {changed * 1000:8.1f} ms  (backup {(changed - none) * 1000:.1f} ms)")
    print(f"  10,000 files unchanged: check only {unchanged * 1000:8.1f} ms  (check {(unchanged - none) * 1000:.1f} ms)")


work = pathlib.Path(tempfile.mkdtemp(prefix="vellomar-bench-backup-"))
try:
    world_like(work / "world")
    zip_side_by_side(work)
    launcher_starts(work)
    print(f"\nload average at the end: {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors")
finally:
    shutil.rmtree(work, ignore_errors=True)
