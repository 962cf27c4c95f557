"""The list of Javas at the Java prompt: time from the answer that leads to
the prompt (key 1, server "1", the server already extracted) to the end of the
list on screen, beside the time one `java -XshowSettings:properties -version`
of the same Java takes, one after the other in each round.

Four Javas are made in a scratch folder from the machine's Java: each a copy
of its launcher in a folder whose other parts link to the real ones, so that
each is a file of its own and a full start of the same Java. They are found
through JAVA_HOME, PATH and ~/.jdks of a scratch HOME. Two runs: with the
machine's own Javas found and listed too, and, where a private mount
namespace can be made (root, unshare), with the machine's java programs
covered so that the four are all there is. Each says how many entries the list had.

    /usr/bin/python3 bench/javas.py [BUILD] [JAVA_HOME]
        (default build/release and /usr/lib/jvm/default-java)"""
import os
import pathlib
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import pexpect

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
real = pathlib.Path(sys.argv[2] if len(sys.argv) > 2 else "/usr/lib/jvm/default-java").resolve()
# Set in the run with the machine's Javas hidden, inside its mount namespace.
hidden = len(sys.argv) > 3 and sys.argv[3] == "--hidden"
rounds = 21


def copy_java(folder):
    """A Java in folder: a copy of the launcher, the rest linked."""
    (folder / "bin").mkdir(parents=True)
    for part in real.iterdir():
        if part.name != "bin":
            (folder / part.name).symlink_to(part)
    shutil.copy2(real / "bin" / "java", folder / "bin" / "java")
    return folder / "bin" / "java"


def hide_machine_javas():
    """In this process's own mount namespace, covers each of the machine's
    java programs where the launcher looks with /dev/null, which is not a
    program. Nothing is mounted below a folder this script removes, and the
    mounts end with the namespace."""
    own, parent = os.readlink("/proc/self/ns/mnt"), os.readlink(f"/proc/{os.getppid()}/ns/mnt")
    if own == parent:
        sys.exit("--hidden runs only in a mount namespace of its own, made by this script's own run")
    places = [pathlib.Path(p) / "java" for p in os.environ["PATH"].split(":") if p]
    for top in ("/usr/lib/jvm", "/usr/lib64/jvm", "/usr/java", "/opt"):
        for home in sorted(pathlib.Path(top).glob("*")):
            places += [home / "bin" / "java", home / "jre" / "bin" / "java"]
    covered = set()
    for place in places:
        target = place.resolve()
        if target.is_file() and target not in covered:
            subprocess.run(["mount", "--bind", "/dev/null", str(target)], check=True)
            covered.add(target)


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


with tempfile.TemporaryDirectory() as scratch:
    scratch = pathlib.Path(scratch)
    home = scratch / "home"
    javas = [copy_java(scratch / "jdk-a"), copy_java(scratch / "jdk-b"),
             copy_java(home / ".jdks" / "jdk-c"), copy_java(home / ".jdks" / "jdk-d")]
    if hidden:
        hide_machine_javas()  # after the copies were made from one of them
    start = scratch / "start"
    server = start / "vellomar" / "1.12.2"
    server.mkdir(parents=True)
    (server / "eula.txt").write_text("eula=true\n")
    (server / "spigot-1.12.2.jar").write_text("not a jar\n")
    shutil.copy2(build / "out_put_ver.exe", start)
    env = dict(os.environ, TERM="xterm", LANG="C.UTF-8", HOME=str(home), JAVA_HOME=str(scratch / "jdk-a"),
               PATH=f"{scratch / 'jdk-b' / 'bin'}:{os.environ['PATH']}")
    env.pop("JDK_HOME", None)

    to_list, alone, entries = [], [], set()
    for _ in range(rounds):
        began = time.monotonic()
        subprocess.run([str(javas[0]), "-XshowSettings:properties", "-version"], capture_output=True, check=True)
        alone.append(time.monotonic() - began)

        child = pexpect.spawn(str(build / "vellomar"), cwd=start, env=env, encoding="utf-8", timeout=30)
        child.delaybeforesend = None  # pexpect's own 50 ms pause before each send
        child.expect("按3返回")
        child.send("1")
        child.expect_exact("(红色的那个数字):")
        began = time.monotonic()
        child.sendline("1")
        child.expect_exact("输入编号选择，或输入 java.exe 的路径。")
        to_list.append(time.monotonic() - began)
        entries.add(len(re.findall(r"\[\d+\] Java", child.before)))
        child.sendeof()
        child.expect("按3返回")
        child.send("3")
        child.expect(pexpect.EOF)
        child.close()

    listed, one = statistics.median(to_list), statistics.median(alone)
    print(("machine's Javas hidden" if hidden else "machine's Javas listed too") +
          f"; Javas made: {len(javas)}; entries in the list: {', '.join(map(str, sorted(entries)))}")
    print(f"answer to the end of the list: median {ms(listed)}, max {ms(max(to_list))} over {rounds} runs")
    print(f"one java -XshowSettings:properties -version: median {ms(one)}, max {ms(max(alone))} over {rounds} runs")
    print(f"list / one java: {listed / one:.2f} (at most 3); load average {os.getloadavg()[0]:.1f} "
          f"on {os.cpu_count()} processors")

if not hidden and shutil.which("unshare"):
    sys.stdout.flush()
    subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable, __file__, str(build),
                    str(real), "--hidden"])
