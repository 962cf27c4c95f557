"""The Java 8 download and its extraction, side by side with curl and bsdtar
in one run (hyperfine): the download of the demo site's Linux Java archive
(the runtime jlink makes from the machine's JDK) over loopback HTTPS, and
the extraction of it and of a runtime of thousands of files (the same with
its classes as files, as jimage extracts them).

The launcher's lines are run as composed, by the cmd stand-in
(vellomar-cmd), in a folder standing for the working folder.

    /usr/bin/python3 bench/java8.py [BUILD]     (default build/release)
    bench/run java8 [BUILD]"""
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
sys.path.insert(0, str(HERE.parent / "site"))
from dist import Site, make_certificate  # noqa: E402
from serve import LINUX_JAVA, add_tree  # noqa: E402

import timing  # noqa: E402

build = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/release").resolve()
cmd = str(build / "vellomar-cmd")
work = pathlib.Path(tempfile.mkdtemp(prefix="vellomar-java8-"))
ratios = {}

try:
    # The demo site's archive, its runtime taken from the build's site when
    # the JDK is the one it was made from.
    site_folder = work / "site"
    subprocess.run([sys.executable, str(HERE.parent / "site" / "serve.py"), "--dir", str(site_folder),
                    "--cache", str(build / "site"), "--sha256", LINUX_JAVA], check=True, stdout=subprocess.DEVNULL)
    demo = site_folder / "www" / LINUX_JAVA
    with zipfile.ZipFile(demo) as z:
        top = z.namelist()[0].rstrip("/")
        print(f"demo Java archive: {demo.stat().st_size / 1e6:.1f} MB, {len(z.namelist())} entries, "
              f"{sum(i.file_size for i in z.infolist()) / 1e6:.1f} MB extracted")

    # The same runtime with its classes as files: thousands of small entries.
    runtime = work / "runtime"
    with zipfile.ZipFile(demo) as z:
        z.extractall(runtime)
    classes = runtime / top / "classes"
    subprocess.run(["jimage", "extract", "--dir", str(classes), str(runtime / top / "lib" / "modules")], check=True)
    many = work / "many.zip"
    with zipfile.ZipFile(many, "w") as z:
        add_tree(z, top, runtime / top)
    with zipfile.ZipFile(many) as z:
        print(f"runtime with its classes as files: {many.stat().st_size / 1e6:.1f} MB, {len(z.namelist())} entries, "
              f"{sum(i.file_size for i in z.infolist()) / 1e6:.1f} MB extracted")
    shutil.rmtree(runtime)

    # Extraction: the line the launcher composes against bsdtar, each into an
    # empty java8 folder.
    place = work / "working folder"
    place.mkdir()
    for name, archive in [("extraction, the demo Java archive", demo), ("extraction, thousands of files", many)]:
        shutil.copy2(archive, place / "java8.zip")
        ratios[name] = timing.hyperfine(name, [
            ("vellomar", f"{cmd} \"powershell Expand-Archive -LiteralPath 'java8.zip' -DestinationPath '.\\java8'\""),
            ("bsdtar", "bsdtar -xf java8.zip -C java8"),
        ], prepare="sh -c 'rm -rf java8 && mkdir java8 && sync'", rounds=4, runs=5, shell=False, cwd=place)
    (place / "java8.zip").unlink()
    shutil.rmtree(place / "java8", ignore_errors=True)

    # Download: the demo archive over loopback HTTPS, from the tests' site.
    cert, key = make_certificate(str(work))
    site = Site(cert, key)
    try:
        site.files[LINUX_JAVA] = demo.read_bytes()
        url = site.url("/" + LINUX_JAVA)
        os.environ["CURL_CA_BUNDLE"] = cert
        # The launcher's download flushes the file to disk before it renames it
        # into place; curl leaves it in the page cache: "curl+sync" does the
        # same work.
        name = "download, the demo Java archive over loopback HTTPS"
        ratios[name] = timing.hyperfine(name, [
            ("vellomar", f"{cmd} 'powershell curl  -OutFile java8.zip {url}'"),
            ("curl", f"curl -s -o java8.zip {url}"),
            ("curl+sync", f"sh -c 'curl -s -o java8.zip {url} && sync java8.zip'"),
        ], prepare="sh -c 'rm -f java8.zip .java8.zip.partial; sync'", rounds=4, runs=5, shell=False, cwd=place)
    finally:
        site.close()
    print("\ntargets: extraction at most 1.1 x bsdtar, download at most 1.05 x curl")
    for name, against in ratios.items():
        print(f"  {name}: " + ", ".join(f"{ratio:.3f} x {label}" for label, ratio in against.items()))
finally:
    shutil.rmtree(work, ignore_errors=True)
