"""The Linux launcher killed with its whole process group at random moments of
an installation and of a backup, then run again: the installed server is
complete, the user's files are as they were, every backup that counts is
whole, and nothing half made is left.

Each phase runs rounds of a few kills, each at a moment drawn from the time
an uninterrupted run takes, then one run to its end, until it has killed
KILLS times or used its time. VELLOMAR_KILL_SEED repeats a run's moments."""

import hashlib
import io
import os
import pathlib
import random
import re
import signal
import socket
import time
import zipfile

import pexpect
import pytest

from conftest import ARCHIVE, MENU

SEED = int(os.environ.get("VELLOMAR_KILL_SEED", str(time.time_ns() % 1000000)))
# Kills per phase, the most of a round before the run that finishes it, and
# the time after which a phase stops at the end of a round, should a loaded
# machine make it slow.
KILLS, PER_ROUND, BUDGET = 12, 3, 40.0
# Fewer kills than this in a phase would test little.
LEAST = 6
# The backups there before the first backup, so that pruning takes a while.
EARLIER = 30

JAVA8 = ('openjdk version "1.8.0_392"', "OpenJDK 64-Bit Server VM (build 25.392-b08, mixed mode)")
LIST_PROMPT = "请选择要安装的服务器编号(红色的那个数字):"
JAVA_PROMPT = "请输入Java(Java8)的路径(java.exe):"
START_PROMPT = "请输入要启动的服务器的编号:"
STOPPED = "服务器已关闭!"
STAMP = r"\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d"
# What a killed run may leave in the working folder: the staging folder, the
# stand-ins' temporary names beside it and beside the archive.
INSTALL_LEFT = re.compile(r"\.1\.12\.2\.new|\.\.1\.12\.2\.new\.extract-\w{6}|\.1\.12\.2\.zip\.part-\w{6}")
# ...in the server folder, a file robocopy's stand-in was copying.
COPY_LEFT = re.compile(r"(.*/)?\..+\.copy-\w{6}")
# ...in the backups folder, a backup being made or removed.
PASSING = re.compile(rf"\.{STAMP}\.(new|old)")


class Tally:
    """Counts what a phase did: kills, invariants checked, time."""

    def __init__(self):
        self.kills = self.checks = self.rounds = 0
        self.began = time.monotonic()

    def check(self, condition, what):
        self.checks += 1
        assert condition, f"{what} (seed {SEED})"

    def over(self):
        return self.kills >= KILLS or time.monotonic() - self.began > BUDGET


def fake_java(folder):
    """A Java 8 that ends at once, as a server that stops by itself."""
    path = folder / "java8" / "bin" / "java"
    path.parent.mkdir(parents=True)
    lines = "\n".join(JAVA8)
    path.write_text(f"#!/bin/sh\n[ \"$1\" = -version ] && printf '%s\\n' '{lines}' >&2\nexit 0\n")
    path.chmod(0o755)
    return str(path)


def files_in(folder):
    """Every file below folder, hidden ones included: relative name -> bytes."""
    return {p.relative_to(folder).as_posix(): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


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
    """Kills the launcher and everything in its process group, and waits
    until all of them have ended."""
    os.killpg(s.child.pid, signal.SIGKILL)
    end = time.monotonic() + 10
    while group_alive(s.child.pid):
        assert time.monotonic() < end, "the launcher's group outlived SIGKILL"
        time.sleep(0.005)
    s.child.ptyproc.delayafterclose = 0
    s.child.close()


def drive(s, steps, moment):
    """Answers what the launcher shows (steps: text -> what to send, None to
    end there) until the end, or kills it and its group at moment: seconds
    from now, or (text, n, seconds) for seconds after the text shows the nth
    time. True when it was killed."""
    deadline = time.monotonic() + moment if isinstance(moment, float) else None
    patterns = list(steps) + ([moment[0]] if isinstance(moment, tuple) else [])
    seen = 0
    while True:
        left = None if deadline is None else deadline - time.monotonic()
        if left is not None and left <= 0:
            kill_group(s)
            return True
        found = s.child.expect_exact(patterns + [pexpect.TIMEOUT], timeout=30 if left is None else left)
        if found == len(patterns):
            if deadline is None:
                pytest.fail(f"the launcher stopped answering; the screen had:\n{s.screen()}")
            continue
        if patterns[found] not in steps:
            seen += 1
            if seen == moment[1]:
                deadline = time.monotonic() + moment[2]
                patterns.pop()
            continue
        answer = steps[patterns[found]]
        if answer is None:
            return False
        if answer == "\r":
            s.key_awaited()
        s.child.send(answer)


def finish(s):
    s.child.send("3")
    s.finish()
    assert s.child.exitstatus == 0


def run_phase(tally, begin, one_run, check, marks=()):
    """Rounds of kills, each round on a new start folder from begin(), until
    the phase is over; one_run(state, moment) runs the launcher once, killed
    at the moment when there is one, and tells whether it was and the time it
    took; check(state, final) follows each kill and each round. Half the
    moments, given marks ((text, n, seconds)), fall within the seconds after
    one of the texts shows the nth time, for work too short to be met by
    chance.
    Returns the time of the run that set the moments' range."""
    rng = random.Random(SEED)
    state = begin()
    _, window = one_run(state, None)  # calibrates, and shows the flow works
    check(state, True)
    while not tally.over():
        tally.rounds += 1
        state = begin()
        for _ in range(PER_ROUND):
            text, nth, span = rng.choice(marks) if marks and rng.random() < 0.5 else (None, 0, window)
            moment = rng.uniform(0, span)
            killed, _ = one_run(state, (text, nth, moment) if text else moment)
            if not killed:
                break  # finished before its moment came
            tally.kills += 1
            check(state, False)
        one_run(state, None)
        check(state, True)
    return window


def report(phase, tally, window):
    print(f"\n{phase}: {tally.kills} kills in {tally.rounds} rounds, each within {window:.2f} s; "
          f"{tally.checks} invariants checked; {time.monotonic() - tally.began:.1f} s; seed {SEED}")
    assert tally.kills >= LEAST


def server_files(rng):
    """A server as an archive brings it: the two files the launcher looks
    for, a few libraries and settings."""
    files = {"eula.txt": b"eula=false\n", "spigot-1.12.2.jar": rng.randbytes(64 << 10),
             "bukkit.yml": b"settings:\n  allow-end: true\n"}
    files.update({f"libraries/lib-{n}.jar": rng.randbytes(256 << 10) for n in range(8)})
    return files


@pytest.fixture
def served(dist_site):
    """The site, serving a server's archive, published as it is."""
    contents = server_files(random.Random(SEED))
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as z:
        for name, data in contents.items():
            z.writestr(name, data)
    dist_site.files[ARCHIVE] = out.getvalue()
    dist_site.env["VELLOMAR_ARCHIVE_SHA256"] = hashlib.sha256(out.getvalue()).hexdigest()
    return dist_site, contents


def test_killed_anywhere_in_an_installation(launch, make_start, served, tmp_path):
    site, contents = served
    java = fake_java(tmp_path)
    line = (java + " \n").encode()
    tally = Tally()
    count = iter(range(1000))

    def begin():
        # Every other round continues an installation: the user's settings
        # and world in a server folder that lacks the jar.
        start = make_start(f"install-{next(count)}")
        work = start / "vellomar"
        work.mkdir()
        user = {"notes.txt": b"the user's own\n", "backups/2000-01-01_00-00-00/notes.txt": b"mine\n"}
        if tally.rounds % 2:
            user.update({"1.12.2/eula.txt": b"#by hand\r\neula=true\r\n", "1.12.2/server.properties": b"motd=mine\n",
                         "1.12.2/world/level.dat": b"my world"})
        for name, data in user.items():
            (work / name).parent.mkdir(parents=True, exist_ok=True)
            (work / name).write_bytes(data)
        return start, user

    def one_run(state, moment):
        start, _ = state
        s = launch(start, env=site.env)
        s.menu()
        began = time.monotonic()
        s.child.send("1")
        killed = drive(s, {LIST_PROMPT: "1\r", JAVA_PROMPT: java + "\r", "您已安装了此服务器": "\r",
                           MENU[-1] + "\r\n": None}, moment)
        took = time.monotonic() - began
        if not killed:
            finish(s)
        return killed, took

    def check(state, final):
        start, user = state
        work = start / "vellomar"
        for name, data in user.items():
            tally.check((work / name).read_bytes() == data, f"the user's {name} is as it was")
        names = set(os.listdir(work)) - {"1.12.2", "1.12.2.zip", "notes.txt", "backups"}
        tally.check(not names if final else all(INSTALL_LEFT.fullmatch(n) for n in names),
                    f"nothing else in the working folder: {sorted(names)}")
        if (work / "1.12.2.zip").exists():
            tally.check((work / "1.12.2.zip").read_bytes() == site.files[ARCHIVE], "the archive, whole")
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
            if name in mine or COPY_LEFT.fullmatch(name):
                continue
            want = line if name == "java" else contents.get(name)
            tally.check(data == want, f"{name} in the server folder is whole")
        if not mine:
            # Extracted for the first time, the server folder comes whole.
            tally.check(set(contents) <= set(found), f"a server folder made whole: {sorted(found)}")

    # The download follows the line at once, the extraction its second showing.
    marks = [("正在安装中", 1, 0.2), ("正在安装中", 2, 0.1)]
    report("installation", tally, run_phase(tally, begin, one_run, check, marks))


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_manifest(text):
    """The fingerprint, order and zips a manifest names; None when it is not one."""
    lines = [line.strip() for line in text.replace("\r", "").split("\n") if line.strip()]
    if not lines or " " in lines[0]:
        return None
    if len(lines) == 1:
        return lines[0], 0, []
    return (lines[0], int(lines[1]), lines[2:]) if lines[1].isdigit() else None


def zipped_world(path):
    """What a backup's zip holds: relative name -> bytes, or None when it is no zip."""
    try:
        with zipfile.ZipFile(path) as z:
            if z.testzip() is not None:
                return None
            return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}
    except (zipfile.BadZipFile, OSError):
        return None


def test_killed_anywhere_in_a_backup(launch, make_start, tmp_path):
    java = fake_java(tmp_path)
    tally = Tally()
    count = iter(range(1000))
    rng = random.Random(SEED + 1)

    def begin():
        start = make_start(f"backup-{next(count)}")
        server = start / "vellomar" / "1.12.2"
        for name, data in {**server_files(rng), "eula.txt": b"eula=true\n"}.items():
            (server / name).parent.mkdir(parents=True, exist_ok=True)
            (server / name).write_bytes(data)
        (server / "server.properties").write_text(f"server-port={free_port()}\n")
        (server / "java").write_text(java + " \n")
        world = {f"world/region/r.{n}.0.mca": rng.randbytes(384 << 10) for n in range(6)}
        world.update({"world/level.dat": b"level", "world_nether/DIM-1/region/r.0.0.mca": rng.randbytes(128 << 10)})
        for name, data in world.items():
            (server / name).parent.mkdir(parents=True, exist_ok=True)
            (server / name).write_bytes(data)
        backups = start / "vellomar" / "backups"
        user = {"2000-01-01_00-00-00/notes.txt": b"mine\n", "2000-01-02_00-00-00": b"a file of the user's"}
        # Backups of an earlier form, whole, named in the future: the first
        # backup made removes all but four of them.
        for n in range(EARLIER):
            name = f"2099-01-01_00-00-{n:02}"
            old = io.BytesIO()
            with zipfile.ZipFile(old, "w") as z:
                z.writestr("world/level.dat", f"old {n}")
            (backups / name).mkdir(parents=True)
            (backups / name / "manifest.txt").write_bytes(b"0-0 \n")
            (backups / name / "world.zip").write_bytes(old.getvalue())
        for name, data in user.items():
            (backups / name).parent.mkdir(parents=True, exist_ok=True)
            (backups / name).write_bytes(data)
        earlier = {f"2099-01-01_00-00-{n:02}": files_in(backups / f"2099-01-01_00-00-{n:02}") for n in range(EARLIER)}
        return {"start": start, "server": server, "world": world, "states": [], "user": user, "earlier": earlier}

    def one_run(state, moment):
        # The world changed since: a backup is due.
        level = state["server"] / "world" / "level.dat"
        state["world"]["world/level.dat"] += b"!"
        level.write_bytes(state["world"]["world/level.dat"])
        state["states"].append(dict(state["world"]))
        s = launch(state["start"])
        s.menu()
        began = time.monotonic()
        s.child.send("2")
        killed = drive(s, {START_PROMPT: "1\r", STOPPED: "\r", MENU[-1] + "\r\n": None}, moment)
        took = time.monotonic() - began
        if not killed:
            finish(s)
        return killed, took

    def check(state, final):
        backups = state["start"] / "vellomar" / "backups"
        server = state["server"]
        for name, data in state["user"].items():
            tally.check((backups / name).read_bytes() == data, f"the user's {name} is as it was")
        tally.check(all((server / name).read_bytes() == data for name, data in state["world"].items()),
                    "the world only read")
        tally.check(not [n for n in os.listdir(server) if n.startswith(".")], "nothing half made in the server folder")
        counted = []
        for name in sorted(os.listdir(backups)):
            if name in ("2000-01-01_00-00-00", "2000-01-02_00-00-00"):
                continue
            if PASSING.fullmatch(name):
                tally.check(not final, f"{name} swept by the run that finishes")
                continue
            tally.check(re.fullmatch(STAMP, name) and (backups / name).is_dir(), f"{name} is a backup's")
            if name in state["earlier"]:
                tally.check(files_in(backups / name) == state["earlier"][name], f"{name} as it was")
                counted.append((0, name))
                continue
            path = backups / name / "manifest.txt"
            manifest = read_manifest(path.read_text()) if path.is_file() else None
            tally.check(manifest and manifest[2], f"{name} holds the manifest of a whole backup")
            sum_, order, zips = manifest
            held = {}
            for zip_name in zips:
                inside = zipped_world(backups / name / zip_name)
                tally.check(inside is not None, f"{name}/{zip_name} is a whole zip")
                held.update(inside)
            tally.check(held in state["states"], f"{name} holds the world as it was once")
            counted.append((order, name))
        if final:
            tally.check(len(counted) <= 5, f"five backups kept: {counted}")
            newest = max(counted)[1]
            tally.check(newest not in state["earlier"], "the newest is the one made last")
            inside = {}
            for zip_name in ("world.zip", "world_nether.zip"):
                inside.update(zipped_world(backups / newest / zip_name))
            tally.check(inside == state["world"], "the newest holds the world as it is")

    marks = [("正在备份世界……", 1, 0.1), ("已备份到", 1, 0.05)]
    report("backup", tally, run_phase(tally, begin, one_run, check, marks))
