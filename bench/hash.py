"""The launcher's archive check against sha256sum: both hash the same 200 MB
file, read from the page cache, timed side by side with hyperfine.

    /usr/bin/python3 bench/hash.py [BUILD]     (default build/release)"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
tool = build / "vellomar-sha256"
size = 200 << 20

with tempfile.TemporaryDirectory(prefix="vellomar-hash-") as folder:
    data = pathlib.Path(folder) / "200MB.bin"
    with open(data, "wb") as f:
        for _ in range(size >> 20):
            f.write(os.urandom(1 << 20))
    ours = subprocess.run([str(tool), str(data)], capture_output=True, text=True, check=True).stdout
    theirs = subprocess.run(["sha256sum", str(data)], capture_output=True, text=True, check=True).stdout
    assert ours == theirs, (ours, theirs)
    report = pathlib.Path(folder) / "hyperfine.json"
    subprocess.run(["hyperfine", "--warmup", "2", "--runs", "15", "--export-json", str(report), "-N",
                    f"sha256sum {data}", f"{tool} {data}"], check=True, stdout=subprocess.DEVNULL)
    results = json.loads(report.read_text())["results"]
    median = {("sha256sum" if r["command"].startswith("sha256sum") else "vellomar"): r["median"] for r in results}
    print(f"sha256sum, 200 MB:        median {median['sha256sum'] * 1000:.0f} ms")
    print(f"vellomar-sha256, 200 MB:  median {median['vellomar'] * 1000:.0f} ms")
    print(f"vellomar-sha256 / sha256sum: {median['vellomar'] / median['sha256sum']:.2f} (at most 1.2)")
