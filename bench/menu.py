"""The launcher at rest: time from start to the menu on screen, and the
processor time it uses while it waits at the menu for 10 s.

    /usr/bin/python3 bench/menu.py [BUILD]     (default build/release)"""
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import pexpect

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
ticks = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system time of the process, in seconds."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


with tempfile.TemporaryDirectory() as start:
    shutil.copy2(build / "out_put_ver.exe", start)
    env = dict(os.environ, TERM="xterm")
    to_menu = []
    for _ in range(20):
        began = time.monotonic()
        child = pexpect.spawn(str(build / "vellomar"), cwd=start, env=env, encoding="utf-8", timeout=10)
        child.expect("按3返回")
        to_menu.append(time.monotonic() - began)
        child.send("3")
        child.expect(pexpect.EOF)
        child.close()
    print(f"start to menu: median {statistics.median(to_menu) * 1000:.1f} ms, "
          f"max {max(to_menu) * 1000:.1f} ms over {len(to_menu)} runs")

    child = pexpect.spawn(str(build / "vellomar"), cwd=start, env=env, encoding="utf-8", timeout=10)
    child.expect("按3返回")
    time.sleep(0.5)
    before = cpu_seconds(child.pid)
    time.sleep(10)
    used = cpu_seconds(child.pid) - before
    child.send("3")
    child.expect(pexpect.EOF)
    child.close()
    print(f"processor time while waiting at the menu for 10 s: {used * 1000:.0f} ms")
