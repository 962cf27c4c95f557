"""Measures vellomar's download and extraction; see bench/run."""
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from dist import Site, make_certificate  # noqa: E402

import timing  # noqa: E402

build = pathlib.Path(sys.argv[1])
cmd = str(build / "vellomar-cmd")
work = pathlib.Path(tempfile.mkdtemp(prefix="vellomar-bench-"))
results = []


def hyperfine(name, commands, prepare):
    for label, ratio in timing.hyperfine(name, commands, prepare).items():
        results.append((name, label, ratio))


def peak_rss(command, cwd):
    done = subprocess.run(["/usr/bin/time", "-v"] + command, cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1)) / 1024


def semi_compressible(size, seed=7):
    """Data that deflates to about half: text-like runs between random bytes."""
    rng = random.Random(seed)
    text = b" ".join(bytes(rng.randrange(97, 123) for _ in range(rng.randrange(3, 9))) for _ in range(800))
    out = bytearray()
    while len(out) < size:
        at = rng.randrange(0, len(text) - 2048)
        out += text[at:at + 2048] + os.urandom(1024)
    return bytes(out[:size])


cert, key = make_certificate(str(work))
site = Site(cert, key)
try:
    # Download: a 256 MiB file over loopback HTTPS.
    big = work / "big.bin"
    with open(big, "wb") as f:
        for _ in range(256):
            f.write(os.urandom(1 << 20))
    site.files["big.bin"] = big.read_bytes()
    url = site.url("/files/big.bin")
    os.environ["CURL_CA_BUNDLE"] = cert
    dl = work / "dl"
    dl.mkdir()
    # vellomar flushes the file to disk before it renames it into place; curl
    # leaves it in the page cache. "curl+sync" does the same work as vellomar.
    hyperfine("download, 256 MiB over loopback HTTPS", [
        ("curl", f"curl -s --cacert {cert} -o {dl}/out.bin {url}"),
        ("curl+sync", f"curl -s --cacert {cert} -o {dl}/out.bin {url} && sync {dl}/out.bin"),
        ("vellomar", f"{cmd} 'powershell curl  -o {dl}/out.bin {url}'"),
    ], prepare=f"rm -f {dl}/out.bin; sync")
    rss = peak_rss([cmd, f"powershell curl  -o out.bin {url}"], dl)
    print(f"  peak resident memory of the download: {rss:.1f} MiB")
    results.append(("download peak RSS MiB", "", rss))
    del site.files["big.bin"]
    big.unlink()

    # Extraction: one 200 MiB entry, and 5,000 small files.
    one = work / "one.zip"
    with zipfile.ZipFile(one, "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
        z.writestr("server.bin", semi_compressible(200 << 20))
    many = work / "many.zip"
    rng = random.Random(1)
    with zipfile.ZipFile(many, "w", zipfile.ZIP_DEFLATED) as z:
        for i in range(5000):
            z.writestr(f"d{i // 100:02d}/f{i:04d}.txt", semi_compressible(rng.randrange(200, 8000), i))
    out = work / "out"
    for name, archive in [("extraction, one 200 MiB entry", one), ("extraction, 5,000 small files", many)]:
        hyperfine(name, [
            ("unzip", f"unzip -q -o {archive} -d {out}"),
            ("bsdtar", f"bsdtar -xf {archive} -C {out}"),
            ("vellomar", f"{cmd} \"powershell Expand-Archive -LiteralPath '{archive}' -DestinationPath '{out}'\""),
        ], prepare=f"rm -rf {out} && mkdir {out} && sync")
        shutil.rmtree(out, ignore_errors=True)
        rss = peak_rss([cmd, f"powershell Expand-Archive -LiteralPath '{archive}' -DestinationPath '{out}'"], work)
        print(f"  peak resident memory of the extraction: {rss:.1f} MiB")
        results.append((f"{name} peak RSS MiB", "", rss))
        shutil.rmtree(out, ignore_errors=True)
finally:
    site.close()

# From answering "1" to the Java prompt, installing the demo archive from the
# demo site.
import pexpect  # noqa: E402

subprocess.run([sys.executable, str(HERE.parent / "site" / "serve.py"), "--dir", str(work / "site"), "--sha256"],
               check=True)
demo = (work / "site" / "www" / "tarnwick" / "server" / "1.12.2.zip").read_bytes()
site = Site(cert, key)
site.files["tarnwick/server/1.12.2.zip"] = demo
try:
    start_folder = work / "start"
    start_folder.mkdir()
    shutil.copy2(build / "out_put_ver.exe", start_folder)
    times = []
    for _ in range(5):
        shutil.rmtree(start_folder / "vellomar", ignore_errors=True)
        env = dict(os.environ, TERM="xterm", CURL_CA_BUNDLE=cert, VELLOMAR_DIST_HOST=site.host)
        child = pexpect.spawn(str(build / "vellomar"), cwd=str(start_folder), env=env, encoding="utf-8", timeout=30)
        child.expect("按3返回")
        child.send("1")
        child.expect("红色的那个数字")
        began = time.monotonic()
        child.sendline("1")
        child.expect(r"java\.exe\):")
        times.append(time.monotonic() - began)
        child.close(force=True)
    times.sort()
    print(f"\nanswer \"1\" to the Java prompt, demo archive: median {times[2] * 1000:.0f} ms "
          f"(min {times[0] * 1000:.0f}, max {times[-1] * 1000:.0f}) over 5 runs")
finally:
    site.close()
    shutil.rmtree(work, ignore_errors=True)
