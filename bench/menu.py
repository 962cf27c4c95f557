"""The launcher at rest: time from start to the menu on screen, beside the
time the banner program alone takes to run to its end (both in a
pseudo-terminal, one after the other in each round), and the processor time
the launcher uses while it waits at the menu for 10 s.

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
rounds = 20


def cpu_seconds(pid):
    """User and system time of the process, in seconds."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


def timed(program, start, env, until):
    """Seconds from spawning program in a pseudo-terminal to seeing until."""
    began = time.monotonic()
    child = pexpect.spawn(str(program), cwd=start, env=env, encoding="utf-8", timeout=10)
    child.expect(until)
    took = time.monotonic() - began
    return child, took


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


with tempfile.TemporaryDirectory() as start:
    shutil.copy2(build / "out_put_ver.exe", start)
    banner = pathlib.Path(start) / "out_put_ver.exe"
    env = dict(os.environ, TERM="xterm")
    to_menu, to_banner = [], []
    for _ in range(rounds):
        child, took = timed(banner, start, env, pexpect.EOF)
        child.close()
        to_banner.append(took)

        child, took = timed(build / "vellomar", start, env, "按3返回")
        to_menu.append(took)
        child.send("3")
        child.expect(pexpect.EOF)
        child.close()
    menu, alone = statistics.median(to_menu), statistics.median(to_banner)
    print(f"start to menu: median {ms(menu)}, max {ms(max(to_menu))} over {rounds} runs")
    print(f"banner program alone: median {ms(alone)}, max {ms(max(to_banner))} over {rounds} runs")
    print(f"start to menu / banner program alone: {menu / alone:.1f}")

    child, _ = timed(build / "vellomar", start, env, "按3返回")
    time.sleep(0.5)
    before = cpu_seconds(child.pid)
    time.sleep(10)
    used = cpu_seconds(child.pid) - before
    child.send("3")
    child.expect(pexpect.EOF)
    child.close()
    print(f"processor time while waiting at the menu for 10 s: {used * 1000:.0f} ms")
