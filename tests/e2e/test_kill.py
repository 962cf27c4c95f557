"""The Linux launcher killed with its whole process group at random moments of
an installation and of a backup, then run again: the installed server is
complete, the user's files are as they were, every backup that counts is
whole, and nothing half made is left.

Each phase runs rounds of up to PER_ROUND kills on a new start folder, then
one run to the end, until it has killed KILLS times (or BUDGET seconds have
passed). A moment is drawn from the time an uninterrupted run takes, or, for
half of them, from a short span after a line that begins work too short to
be met by chance. VELLOMAR_KILL_SEED repeats a run's moments."""

import hashlib
import io
import os
import pathlib
import random
import re
import signal
import time
import zipfile

import pexpect
import pytest

from conftest import ARCHIVE, MENU
from test_install import files_in
from test_start import own_port

SEED = int(os.environ.get("VELLOMAR_KILL_SEED", str(time.time_ns() % 1000000)))
KILLS, PER_ROUND, BUDGET = 12, 3, 40.0
# Fewer kills than this in a phase would test little.
LEAST = 6
# The backups there before the first backup, so that pruning takes a while.
EARLIER = 30

STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d"
# What a killed run may leave: in the working folder, the staging folder and
# the stand-ins' temporary names beside it and beside the archive; in the
# server folder, a file robocopy's stand-in was copying; in the backups
# folder, a backup being made or removed.
INSTALL_LEFT = re.compile(r"\.1\.12\.2\.new|\.\.1\.12\.2\.new\.extract-\w{6}|\.1\.12\.2\.zip\.part-\w{6}")
COPY_LEFT = re.compile(r"(.*/)?\..+\.copy-\w{6}")
PASSING = re.compile(rf"\.{STAMP}\.(new|old)")
MENU_DRAWN = MENU[-1] + "\r\n"


class Tally:
    """What a phase did: kills, rounds, invariants checked, time."""

    def __init__(self):
        self.kills = self.checks = self.rounds = 0
        self.began = time.monotonic()

    def check(self, condition, what):
        self.checks += 1
        assert condition, f"{what} (seed {SEED})"


def put(folder, files):
    """Writes files (relative name -> bytes) below folder."""
    for name, data in files.items():
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_bytes(data)


def fake_java(folder):
    """A Java 8 that ends at once, as a server that stops by itself."""
    path = folder / "java8" / "bin" / "java"
    put(folder, {"java8/bin/java": b'#!/bin/sh\n[ "$1" = -version ] && printf \'%s\\n\' '
                                   b'\'openjdk version "1.8.0_392"\' '
                                   b'\'OpenJDK 64-Bit Server VM (build 25.392-b08, mixed mode)\' >&2\nexit 0\n'})
    path.chmod(0o755)
    return str(path)


def server_files(rng):
    """A server as an archive brings it: the two files the launcher looks
    for, a few libraries and settings."""
    files = {"eula.txt": b"eula=false\n", "spigot-1.12.2.jar": rng.randbytes(64 << 10),
             "bukkit.yml": b"settings:\n  allow-end: true\n"}
    files.update({f"libraries/lib-{n}.jar": rng.randbytes(256 << 10) for n in range(8)})
    return files


def group_alive(pgid):
    """True while a process of the group has not yet ended."""
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            fields = stat.read_text().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[2]) == pgid:
            return True
    return False


def kill_group(s):
    """Kills the launcher and its process group, and waits until all have ended."""
    os.killpg(s.child.pid, signal.SIGKILL)
    end = time.monotonic() + 10
    while group_alive(s.child.pid):
        assert time.monotonic() < end, "the launcher's group outlived SIGKILL"
        time.sleep(0.005)
    s.child.ptyproc.delayafterclose = 0
    s.child.close()


def run_once(launch, start, key, steps, moment, env=None):
    """Runs the launcher, presses key at the menu and answers what it shows
    (steps: text -> what to send, None to end there), or kills it at moment:
    seconds after the key, or (text, n, seconds) for seconds after the text
    shows the nth time. Returns whether it was killed, and the time it took."""
    s = launch(start, env=env)
    s.menu()
    began = time.monotonic()
    s.child.send(key)
    deadline = began + moment if isinstance(moment, float) else None
    patterns = list(steps) + ([moment[0]] if isinstance(moment, tuple) else [])
    seen = 0
    while True:
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            kill_group(s)
            return True, time.monotonic() - began
        found = s.child.expect_exact(patterns + [pexpect.TIMEOUT], timeout=30 if left is None else left)
        if found == len(patterns):
            if deadline is None:
                pytest.fail(f"the launcher stopped answering; the screen had:\n{s.screen()}")
        elif patterns[found] not in steps:
            seen += 1
            if seen == moment[1]:
                deadline = time.monotonic() + moment[2]
                patterns.pop()
        elif steps[patterns[found]] is None:
            took = time.monotonic() - began
            s.child.send("3")
            s.finish()
            assert s.child.exitstatus == 0
            return False, took
        else:
            if steps[patterns[found]] == "\r":
                s.key_awaited()
            s.child.send(steps[patterns[found]])


def run_phase(name, begin, one_run, check, marks):
    """Rounds of kills, each on a new state from begin(), the moments drawn
    as the module says from marks ((text, n, seconds)); one_run(state,
    moment) runs the launcher once, check(state, final) follows each kill and
    each round."""
    tally, rng = Tally(), random.Random(SEED + len(name))
    state = begin(tally)
    _, window = one_run(state, None)  # sets the moments' range, and shows the flow works
    check(tally, state, True)
    while tally.kills < KILLS and time.monotonic() - tally.began < BUDGET:
        tally.rounds += 1
        state = begin(tally)
        for _ in range(PER_ROUND):
            text, nth, span = rng.choice(marks) if rng.random() < 0.5 else (None, 0, window)
            moment = rng.uniform(0, span)
            if not one_run(state, (text, nth, moment) if text else moment)[0]:
                break  # it ended before its moment came
            tally.kills += 1
            check(tally, state, False)
        one_run(state, None)
        check(tally, state, True)
    print(f"\n{name}: {tally.kills} kills in {tally.rounds} rounds, each within {window:.2f} s; "
          f"{tally.checks} invariants checked; {time.monotonic() - tally.began:.1f} s; seed {SEED}")
    assert tally.kills >= LEAST


def test_killed_anywhere_in_an_installation(launch, make_start, dist_site, tmp_path):
    contents = server_files(random.Random(SEED))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in contents.items():
            z.writestr(name, data)
    archive = dist_site.files[ARCHIVE] = out.getvalue()
    dist_site.env["VELLOMAR_ARCHIVE_SHA256"] = hashlib.sha256(archive).hexdigest()
    java = fake_java(tmp_path)
    line = (java + " \n").encode()
    steps = {"请选择要安装的服务器编号(红色的那个数字):": "1\r", "请输入Java(Java8)的路径(java.exe):": java + "\r",
             "您已安装了此服务器": "\r", MENU_DRAWN: None}

    def begin(tally):
        # Every other round continues an installation: the user's settings
        # and world in a server folder that lacks the jar.
        start = make_start(f"install-{tally.rounds}")
        user = {"notes.txt": b"the user's own\n", "backups/2000-01-01_00-00-00/notes.txt": b"mine\n"}
        if tally.rounds % 2:
            user.update({"1.12.2/eula.txt": b"#by hand\r\neula=true\r\n", "1.12.2/server.properties": b"motd=mine\n",
                         "1.12.2/world/level.dat": b"my world"})
        put(start / "vellomar", user)
        return start, user

    def one_run(state, moment):
        return run_once(launch, state[0], "1", steps, moment, dist_site.env)

    def check(tally, state, final):
        start, user = state
        work = start / "vellomar"
        for name, data in user.items():
            tally.check((work / name).read_bytes() == data, f"the user's {name} is as it was")
        names = set(os.listdir(work)) - {"1.12.2", "1.12.2.zip", "notes.txt", "backups"}
        tally.check(not names if final else all(INSTALL_LEFT.fullmatch(n) for n in names),
                    f"nothing else in the working folder: {sorted(names)}")
        if (work / "1.12.2.zip").exists():
            tally.check((work / "1.12.2.zip").read_bytes() == archive, "the archive, whole")
        server = work / "1.12.2"
        if not server.exists():
            tally.check(not final, "a server folder after the run that finishes")
            return
        mine = {name[len("1.12.2/"):]: data for name, data in user.items() if name.startswith("1.12.2/")}
        found = files_in(server)
        if final:
            tally.check(found == {**contents, **mine, "java": line}, f"the server installed: {sorted(found)}")
            return
        # Each file is the user's, the archive's whole, the Java command
        # file as saved, or one a copy under way left under its own name.
        for name, data in found.items():
            if name not in mine and not COPY_LEFT.fullmatch(name):
                tally.check(data == (line if name == "java" else contents.get(name)), f"{name} is whole")
        if not mine:
            tally.check(set(contents) <= set(found), f"a server folder made whole at once: {sorted(found)}")

    # The download follows the line at once, the extraction its second showing.
    run_phase("installation", begin, one_run, check, [("正在安装中", 1, 0.2), ("正在安装中", 2, 0.1)])


def zipped(path):
    """What a zip holds: name -> bytes, or None when it is not a whole zip."""
    try:
        with zipfile.ZipFile(path) as z:
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()} if z.testzip() is None else None
    except (zipfile.BadZipFile, OSError):
        return None


def test_killed_anywhere_in_a_backup(launch, make_start, tmp_path):
    java = fake_java(tmp_path)
    rng = random.Random(SEED)
    steps = {"请输入要启动的服务器的编号:": "1\r", "服务器已关闭!": "\r", MENU_DRAWN: None}
    user = {"2000-01-01_00-00-00/notes.txt": b"mine\n", "2000-01-02_00-00-00": b"a file of the user's"}

    def begin(tally):
        start = make_start(f"backup-{tally.rounds}")
        server = start / "vellomar" / "1.12.2"
        world = {f"world/region/r.{n}.0.mca": rng.randbytes(384 << 10) for n in range(6)}
        world.update({"world/level.dat": b"level", "world_nether/DIM-1/region/r.0.0.mca": rng.randbytes(128 << 10)})
        put(server, {**server_files(rng), "eula.txt": b"eula=true\n", "java": (java + " \n").encode(), **world})
        own_port(server)
        # Backups of an earlier form, whole, named in the future: the first
        # backup made removes all but four of them.
        earlier = {}
        for n in range(EARLIER):
            old = io.BytesIO()
            with zipfile.ZipFile(old, "w") as z:
                z.writestr("world/level.dat", f"old {n}")
            earlier[f"2099-01-01_00-00-{n:02}"] = {"manifest.txt": b"0-0 \n", "world.zip": old.getvalue()}
        for name, files in earlier.items():
            put(start / "vellomar" / "backups" / name, files)
        put(start / "vellomar" / "backups", user)
        return {"start": start, "server": server, "world": world, "states": [], "earlier": earlier}

    def one_run(state, moment):
        # The world changed since: a backup is due.
        state["world"]["world/level.dat"] += b"!"
        put(state["server"], {"world/level.dat": state["world"]["world/level.dat"]})
        state["states"].append(dict(state["world"]))
        return run_once(launch, state["start"], "2", steps, moment)

    def check(tally, state, final):
        backups = state["start"] / "vellomar" / "backups"
        server = state["server"]
        for name, data in user.items():
            tally.check((backups / name).read_bytes() == data, f"the user's {name} is as it was")
        tally.check(all((server / name).read_bytes() == data for name, data in state["world"].items()),
                    "the world only read")
        tally.check(not [n for n in os.listdir(server) if n.startswith(".")], "nothing half made in the server folder")
        counted = []
        for name in sorted(set(os.listdir(backups)) - {"2000-01-01_00-00-00", "2000-01-02_00-00-00"}):
            if PASSING.fullmatch(name):
                tally.check(not final, f"{name} swept by the run that finishes")
            elif name in state["earlier"]:
                tally.check(files_in(backups / name) == state["earlier"][name], f"{name} as it was")
                counted.append((0, name))
            else:
                # The launcher's: its manifest (fingerprint, order, zips) and
                # every zip it names, holding the world as it was once.
                tally.check(re.fullmatch(STAMP, name), f"{name} is a backup's name")
                path = backups / name / "manifest.txt"
                lines = [line.strip() for line in path.read_text().splitlines()] if path.is_file() else []
                tally.check(len(lines) > 2 and lines[1].isdigit(), f"{name} holds a manifest")
                held = {}
                for zip_name in lines[2:]:
                    inside = zipped(backups / name / zip_name)
                    tally.check(inside is not None, f"{name}/{zip_name} is a whole zip")
                    held.update(inside)
                tally.check(held in state["states"], f"{name} holds the world as it was once")
                counted.append((int(lines[1]), name))
        if final:
            tally.check(len(counted) <= 5, f"five backups kept: {counted}")
            newest = max(counted)[1]
            inside = {**zipped(backups / newest / "world.zip"), **zipped(backups / newest / "world_nether.zip")}
            tally.check(inside == state["world"], "the newest is the one made last, of the world as it is")

    run_phase("backup", begin, one_run, check, [("正在备份世界……", 1, 0.1), ("已备份到", 1, 0.05)])
