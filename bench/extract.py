"""Extraction against bsdtar, which uses the same libarchive: the time of each
(hyperfine) and the instructions each executes (callgrind), for one 200 MiB
text entry deflated to about 18 MiB and for an archive of one tiny file.

Times are of the command line the launcher composes, run by the cmd stand-in
(vellomar-cmd), and of the PowerShell stand-in alone (the program the
launcher starts), against `bsdtar -xf`, all into an existing empty folder,
with no shell between. Counted instructions do not vary with the load of the
machine: every process of the command is counted, the part before each exec
included; the big entry is counted cut to 20 MiB, which takes the same path.

    /usr/bin/python3 bench/extract.py [BUILD]     (default build/release)
    bench/run extract [BUILD]"""
import json
import pathlib
import random
import re
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
work = pathlib.Path(tempfile.mkdtemp(prefix="vellomar-extract-"))
out = work / "out"


def text(size, seed=3):
    """Server-log-like text, lines of words from a small vocabulary, which
    deflates to about a twelfth."""
    rng = random.Random(seed)
    vocabulary = [bytes(rng.randrange(97, 123) for _ in range(rng.randrange(2, 10))) for _ in range(2000)]
    lines = [b" ".join(rng.choice(vocabulary) for _ in range(rng.randrange(4, 14))) + b"\n" for _ in range(230)]
    data = bytearray()
    while len(data) < size:
        data += rng.choice(lines)
    return bytes(data[:size])


def archive(name, entry, data):
    path = work / name
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        z.writestr(entry, data)
    return path


def commands(zip_path):
    """The command lines extracting zip_path into out: the composed line run
    by the cmd stand-in, the PowerShell stand-in alone as the launcher starts
    it, and bsdtar."""
    command = f"Expand-Archive -LiteralPath '{zip_path}' -DestinationPath '{out}'"
    return [("vellomar", [str(build / "vellomar-cmd"), "powershell " + command]),
            ("powershell", [str(build / "vellomar-powershell"), command]),
            ("bsdtar", ["bsdtar", "-xf", str(zip_path), "-C", str(out)])]


def fresh():
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()


def timed(name, zip_path, rounds, runs):
    """Median wall time and processor time (user + system) of each command.
    hyperfine runs the commands without a shell; before each run the folder is
    made afresh and the disk synced, untimed, so that no run pays for the
    writes of the one before. Rounds take the commands in turns of order."""
    report = work / "hf.json"
    wall = {label: [] for label, _ in commands(zip_path)}
    cpu = {label: [] for label in wall}
    prepare = f"sh -c 'rm -rf {out} && mkdir {out} && sync'"
    for round in range(rounds):
        order = commands(zip_path)
        if round % 2:
            order.reverse()
        args = ["hyperfine", "-N", "--warmup", "1", "--runs", str(runs), "--export-json", str(report)]
        for label, argv in order:
            args += ["--prepare", prepare, "-n", label, shlex.join(argv)]
        subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
        for r in json.loads(report.read_text())["results"]:
            wall[r["command"]] += r["times"]
            cpu[r["command"]].append(r["user"] + r["system"])
    print(f"\n{name}: time ({rounds * runs} runs each, {rounds} rounds; processor: median of the rounds' means)")
    for label in wall:
        print(f"  {label:10s} wall median {statistics.median(wall[label]) * 1000:8.1f} ms, "
              f"processor {statistics.median(cpu[label]) * 1000:8.1f} ms")
    for label in ("vellomar", "powershell"):
        ratio = statistics.median(wall[label]) / statistics.median(wall["bsdtar"])
        cpu_ratio = statistics.median(cpu[label]) / statistics.median(cpu["bsdtar"])
        print(f"  ratio {label} / bsdtar: wall {ratio:.3f}, processor {cpu_ratio:.3f}")
    for label, argv in commands(zip_path):
        print(f"  {label}: {shlex.join(argv)}")


# Where counted instructions go: zlib (inflate and its checksum), memcpy, the
# dynamic loader, and all the rest.
PARTS = [("zlib", re.compile(r"\[\S*/libz\.so")), ("memcpy", re.compile(r":__memcpy\w*|:memcpy")),
         ("loader", re.compile(r"\[\S*/ld-linux[^\]]*\]|^\s*\S+\s+\(\s*[\d.]+%\)\s+\./elf/"))]


def counted(argv):
    """Instructions executed by argv and every program it becomes or starts,
    in total and by part."""
    dumps = work / "cg"
    shutil.rmtree(dumps, ignore_errors=True)
    dumps.mkdir()
    fresh()
    subprocess.run(["valgrind", "--tool=callgrind", "--trace-children=yes", "--dump-before=execve",
                    f"--callgrind-out-file={dumps}/callgrind.%p"] + argv,
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    parts = dict.fromkeys([p for p, _ in PARTS] + ["other", "total"], 0)
    for dump in dumps.iterdir():
        lines = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", str(dump)],
                               capture_output=True, text=True, check=True).stdout.splitlines()
        for line in lines:
            m = re.match(r"\s*([\d,]+) \(\s*[\d.]+%\)\s+(.*)", line)
            if not m:
                continue
            n = int(m.group(1).replace(",", ""))
            if "PROGRAM TOTALS" in m.group(2):
                parts["total"] += n
                continue
            part = next((p for p, pattern in PARTS if pattern.search(line)), "other")
            parts[part] += n
    return parts


def instructions(name, zip_path):
    counts = {label: counted(argv) for label, argv in commands(zip_path)}
    print(f"\n{name}: instructions (callgrind, millions)")
    print(f"  {'':10s}" + "".join(f"{part:>10s}" for part in counts["bsdtar"]))
    for label, parts in counts.items():
        print(f"  {label:10s}" + "".join(f"{n / 1e6:10.2f}" for n in parts.values()))
    for label in ("vellomar", "powershell"):
        print(f"  ratio {label} / bsdtar: {counts[label]['total'] / counts['bsdtar']['total']:.3f}")


try:
    big_text = text(200 << 20)
    big = archive("big.zip", "server.log", big_text)
    cut = archive("cut.zip", "server.log", big_text[:20 << 20])
    del big_text
    tiny = archive("tiny.zip", "eula.txt", b"eula=false\n")
    print(f"200 MiB entry deflated: {big.stat().st_size / (1 << 20):.1f} MiB")
    instructions("one 20 MiB text entry", cut)
    instructions("one tiny entry", tiny)
    timed("one 200 MiB text entry", big, rounds=8, runs=3)
    timed("one tiny entry", tiny, rounds=8, runs=30)
finally:
    shutil.rmtree(work, ignore_errors=True)
