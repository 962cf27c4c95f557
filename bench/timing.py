"""Commands timed side by side with hyperfine, for the benchmarks in bench/."""
import json
import pathlib
import statistics
import subprocess
import tempfile


def hyperfine(name, commands, prepare, rounds=4, runs=5, shell=True, cwd=None):
    """Times the commands, (label, command line) pairs, the first labelled
    "vellomar"; prepare runs untimed before each run and syncs, so that no run
    pays for the disk writes of the one before. The rounds take the commands
    in turns of order, so that drift favours none of them; the medians are
    over every run of every round. Without shell, hyperfine runs each command
    itself (-N); cwd is the folder they run in. Prints the medians of the
    wall time and of the processor time (user and system, which the load of
    the machine changes less), and the ratios of vellomar's to the others';
    returns the ratios of the wall times by label."""
    with tempfile.TemporaryDirectory(prefix="vellomar-hf-") as folder:
        out = pathlib.Path(folder) / "hf.json"
        times = {label: [] for label, _ in commands}
        cpu = {label: [] for label, _ in commands}
        for round in range(rounds):
            order = commands if round % 2 == 0 else commands[::-1]
            args = ["hyperfine", "--warmup", "1", "--runs", str(runs), "--export-json", str(out)]
            if not shell:
                args.append("-N")
            for label, command in order:
                args += ["--prepare", prepare, "-n", label, command]
            subprocess.run(args, check=True, stdout=subprocess.DEVNULL, cwd=cwd)
            for r in json.loads(out.read_text())["results"]:
                times[r["command"]] += r["times"]
                cpu[r["command"]].append(r["user"] + r["system"])
    medians = {label: statistics.median(t) for label, t in times.items()}
    processor = {label: statistics.median(t) for label, t in cpu.items()}
    ours = medians["vellomar"]
    print(f"\n{name} ({rounds * runs} runs each; processor: median of the rounds' means)")
    for label, median in medians.items():
        print(f"  {label:10s} wall median {median:8.3f} s, processor {processor[label]:8.3f} s")
    ratios = {}
    for label, median in medians.items():
        if label != "vellomar":
            ratios[label] = ours / median
            print(f"  ratio vellomar / {label}: wall {ratios[label]:.3f}, "
                  f"processor {processor['vellomar'] / processor[label]:.3f}")
    for label, command in commands:
        print(f"  {label}: {command}")
    return ratios
