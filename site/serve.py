#!/usr/bin/env python3
"""The local distribution site: builds the demo server archive and the Java
archives and serves them over HTTPS on 127.0.0.1, with a certificate made on
first use with openssl.

    site/serve.py [--port 8443] [--dir build/site] [--cache DIR]
    site/serve.py --dir DIR --build-only            the files and the certificate
    site/serve.py --dir DIR --sha256 [FILE ...]     those files (by default the
                                                    server archive); prints the
                                                    SHA-256 of each, one a line

The archive is at https://127.0.0.1:PORT/tarnwick/server/1.12.2.zip, the Java
archives at tarnwick/java/8/linux-x64.zip and windows-x64.zip; the
certificate to trust (CURL_CA_BUNDLE) is DIR/cert.pem. The site is the
folder DIR/www, static files any web server can serve (nginx.conf beside this
script does): the archives, and SHA256SUMS beside them. The server archive is
the same bytes on every build with the same JDK: its entries and the jar's
are stored uncompressed, in a fixed order, with fixed dates. The Linux Java
archive is a runtime that jlink makes from the machine's JDK with the modules
the demo server needs (jdeps), kept in the --cache folder (by default DIR)
until the JDK or the server changes; its entries are deflated, in a fixed
order, with fixed dates and their Unix modes. The demo site has no Java for
Windows: windows-x64.zip holds a folder with a README that says so."""
import argparse
import email.utils
import hashlib
import http.server
import os
import re
import shutil
import ssl
import stat
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ARCHIVE = "tarnwick/server/1.12.2.zip"
LINUX_JAVA = "tarnwick/java/8/linux-x64.zip"
WINDOWS_JAVA = "tarnwick/java/8/windows-x64.zip"


def certificate(folder):
    """The site's key and certificate, for 127.0.0.1 and localhost."""
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    if not (os.path.exists(cert) and os.path.exists(key)):
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
             "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
             "-addext", "basicConstraints=critical,CA:TRUE",
             "-keyout", key, "-out", cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


# The date every entry of the archive and of the jar carries.
FIXED_DATE = (2024, 1, 1, 0, 0, 0)


def add(z, name, data):
    """Adds data to z as name, stored, with nothing that differs between
    builds or machines."""
    entry = zipfile.ZipInfo(name, date_time=FIXED_DATE)
    entry.create_system = 3
    entry.external_attr = 0o100644 << 16
    entry.compress_type = zipfile.ZIP_STORED
    z.writestr(entry, data)


def server_jar(folder):
    """spigot-1.12.2.jar, compiled from demo/Server.java when it or this
    script is newer."""
    jar = os.path.join(folder, "spigot-1.12.2.jar")
    sources = [os.path.join(HERE, "demo", "Server.java"), os.path.abspath(__file__)]
    if os.path.exists(jar) and all(os.path.getmtime(jar) >= os.path.getmtime(p) for p in sources):
        return jar
    with tempfile.TemporaryDirectory() as classes:
        subprocess.run(["javac", "--release", "8", "-nowarn", "-d", classes, sources[0]], check=True,
                       stderr=subprocess.DEVNULL)
        compiled = sorted(os.path.relpath(os.path.join(top, name), classes).replace(os.sep, "/")
                          for top, _, names in os.walk(classes) for name in names)
        with zipfile.ZipFile(jar + ".tmp", "w") as z:
            add(z, "META-INF/MANIFEST.MF", b"Manifest-Version: 1.0\r\nMain-Class: Server\r\n\r\n")
            for name in compiled:
                with open(os.path.join(classes, name), "rb") as f:
                    add(z, name, f.read())
    os.replace(jar + ".tmp", jar)
    return jar


def server_archive(folder, target, cache):
    """The demo archive: eula.txt and spigot-1.12.2.jar at its top."""
    jar = server_jar(folder)
    with zipfile.ZipFile(target, "w") as z:
        with open(os.path.join(HERE, "demo", "eula.txt"), "rb") as f:
            add(z, "eula.txt", f.read())
        with open(jar, "rb") as f:
            add(z, "spigot-1.12.2.jar", f.read())


def runtime(folder, cache):
    """The Java runtime jlink makes from the machine's JDK (the one whose
    javac builds the server) with the modules the server needs: its folder,
    and the Java version it is. Kept in cache, made again when the JDK or the
    server changes."""
    jar = server_jar(folder)
    jlink = os.path.realpath(shutil.which("jlink") or sys.exit("jlink (a JDK) is needed for the Java archive"))
    jdk = os.path.dirname(os.path.dirname(jlink))
    with open(os.path.join(jdk, "release"), "rb") as f:
        release = f.read()
    with open(jar, "rb") as f:
        key = hashlib.sha256(jlink.encode() + b"\0" + release + b"\0" + f.read()).hexdigest()
    image, stamp = os.path.join(cache, "runtime"), os.path.join(cache, "runtime.key")
    version = re.search(rb'^JAVA_VERSION="([^"]+)"', release, re.M).group(1).decode()
    if os.path.isdir(image) and os.path.exists(stamp):
        with open(stamp) as f:
            if f.read() == key:
                return image, version
    modules = subprocess.run([os.path.join(jdk, "bin", "jdeps"), "--print-module-deps", jar], check=True,
                             capture_output=True, text=True).stdout.strip()
    made = image + ".new"
    shutil.rmtree(made, ignore_errors=True)
    subprocess.run([jlink, "--add-modules", modules, "--strip-debug", "--no-header-files", "--no-man-pages",
                    "--output", made], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(image, ignore_errors=True)
    os.replace(made, image)
    with open(stamp, "w") as f:
        f.write(key)
    return image, version


def add_tree(z, top, folder):
    """Adds folder to z as the folder top, deflated, in name order, each entry
    with the fixed date and its Unix mode (a program's executable bit kept)."""
    names = [""]
    for base, dirs, files in os.walk(folder):
        rel = os.path.relpath(base, folder)
        names += [os.path.normpath(os.path.join(rel, n)) for n in dirs + files]
    for name in sorted(names):
        path = os.path.join(folder, name)
        st = os.lstat(path)
        entry = zipfile.ZipInfo((top + "/" + name.replace(os.sep, "/")).rstrip("/") +
                                ("/" if stat.S_ISDIR(st.st_mode) else ""), date_time=FIXED_DATE)
        entry.create_system = 3
        mode = 0o755 if stat.S_ISDIR(st.st_mode) or st.st_mode & 0o111 else 0o644
        entry.external_attr = (stat.S_IFMT(st.st_mode) | mode) << 16
        if stat.S_ISDIR(st.st_mode):
            z.writestr(entry, b"")
            continue
        entry.compress_type = zipfile.ZIP_DEFLATED
        if stat.S_ISLNK(st.st_mode):
            entry.external_attr = (stat.S_IFLNK | 0o777) << 16
            z.writestr(entry, os.readlink(path).encode())
            continue
        with open(path, "rb") as f:
            z.writestr(entry, f.read())


def linux_java(folder, target, cache):
    """A Java for the Linux build: the runtime, in one folder named for its
    version, as the vendors' archives hold theirs."""
    image, version = runtime(folder, cache)
    with zipfile.ZipFile(target, "w") as z:
        add_tree(z, f"jre-{version}", image)


WINDOWS_README = b"""This demo site publishes no Java for Windows.\r
A release puts an OpenJDK 8 JRE zip for x64 at tarnwick/java/8/windows-x64.zip\r
and builds the launcher with VELLOMAR_JAVA_SHA256 set to its SHA-256.\r
"""


def windows_java(folder, target, cache):
    """The demo's stand-in for a Java for the Windows build: one folder with
    a README, which the launcher finds no Java in."""
    with zipfile.ZipFile(target, "w") as z:
        add(z, "no-java-for-windows/README.txt", WINDOWS_README)


# What the site publishes, and how each is made.
FILES = {ARCHIVE: server_archive, LINUX_JAVA: linux_java, WINDOWS_JAVA: windows_java}


def build(folder, names=FILES, cache=None):
    """The site's files in folder/www: those named (every file by default),
    and SHA256SUMS beside them, which lists the files of its folder. Returns
    the folder and the SHA-256 of each file, by name."""
    www = os.path.join(folder, "www")
    digests = {}
    for name in names:
        target = os.path.join(www, name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        FILES[name](folder, target + ".tmp", cache or folder)
        with open(target + ".tmp", "rb") as f:
            digests[name] = hashlib.sha256(f.read()).hexdigest()
        os.replace(target + ".tmp", target)
    for sums in sorted({os.path.dirname(name) for name in names}):
        listed = sorted(n for n in FILES if os.path.dirname(n) == sums and os.path.exists(os.path.join(www, n)))
        path = os.path.join(www, sums, "SHA256SUMS")
        with open(path + ".tmp", "w") as f:
            for name in listed:
                if name not in digests:
                    with open(os.path.join(www, name), "rb") as g:
                        digests[name] = hashlib.sha256(g.read()).hexdigest()
                f.write(f"{digests[name]}  {os.path.basename(name)}\n")
        os.replace(path + ".tmp", path)
    return www, digests


def byte_range(header, total):
    """The one range of bytes a Range header asks of a resource of total bytes,
    as (first, last) inclusive; None when the header is absent or is not one
    range of bytes, which the whole resource answers; False when no byte of the
    resource lies in it (416)."""
    if header is None:
        return None
    unit, _, span = header.strip().partition("=")
    found = re.fullmatch(r"\s*(\d*)\s*-\s*(\d*)\s*", span)
    if unit.strip().lower() != "bytes" or not found or found.group(1) == found.group(2) == "":
        return None
    first, last = found.groups()
    if first == "":  # the last N bytes
        return (max(0, total - int(last)), total - 1) if int(last) > 0 and total > 0 else False
    if last and int(last) < int(first):
        return None
    first, last = int(first), min(int(last), total - 1) if last else total - 1
    return (first, last) if first < total else False


def if_range_holds(value, etag, modified):
    """Whether an If-Range value names the resource as it is now: exactly its
    strong ETag, or exactly its Last-Modified date. Without If-Range the range
    is served."""
    if value is None:
        return True
    value = value.strip()
    if value.startswith(('"', "W/")):
        return etag is not None and not etag.startswith("W/") and value == etag
    if modified is None:
        return False
    try:
        return email.utils.parsedate_to_datetime(value) == email.utils.parsedate_to_datetime(modified)
    except (TypeError, ValueError):
        return False


def strong_tag(chunks):
    """A strong ETag for the bytes of chunks: a hash of them."""
    digest = hashlib.sha256()
    for chunk in chunks:
        digest.update(chunk)
    return '"' + digest.hexdigest()[:32] + '"'


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8443)
    parser.add_argument("--dir", default=os.path.join(HERE, "..", "build", "site"))
    parser.add_argument("--build-only", action="store_true", help="build the files and the certificate, then stop")
    parser.add_argument("--sha256", nargs="*", metavar="FILE", choices=list(FILES),
                        help="build the files named (by default the server archive), print their SHA-256s, stop")
    parser.add_argument("--cache", help="where the Java runtime made by jlink is kept (by default --dir)")
    args = parser.parse_args()
    folder = os.path.abspath(args.dir)
    os.makedirs(folder, exist_ok=True)
    cache = os.path.abspath(args.cache) if args.cache else folder
    if args.sha256 is not None:
        names = args.sha256 or [ARCHIVE]
        digests = build(folder, names, cache)[1]
        print("\n".join(digests[name] for name in names))
        return
    cert, key = certificate(folder)
    www = build(folder, cache=cache)[0]
    if args.build_only:
        return
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)

    tags = {}  # path: (size, mtime, ETag)

    class Handler(http.server.SimpleHTTPRequestHandler):
        """Files with an ETag and Last-Modified, in ranges on request (so that
        a download that broke off can continue); folders as http.server lists
        them."""

        def __init__(self, *a, **k):
            super().__init__(*a, directory=www, **k)

        def log_message(self, *a):
            pass

        def do_GET(self):
            self.serve(body=True)

        def do_HEAD(self):
            self.serve(body=False)

        def serve(self, body):
            path = self.translate_path(self.path)
            if self.path.split("?")[0].endswith("/") or not os.path.isfile(path):
                super().do_GET() if body else super().do_HEAD()
                return
            try:
                f = open(path, "rb")
            except OSError:
                self.send_error(404, "File not found")
                return
            with f:
                st = os.fstat(f.fileno())
                known = tags.get(path)
                if not known or known[:2] != (st.st_size, st.st_mtime_ns):
                    known = tags[path] = (st.st_size, st.st_mtime_ns, strong_tag(iter(lambda: f.read(1 << 16), b"")))
                total, etag, modified = st.st_size, known[2], self.date_time_string(st.st_mtime)
                if self.unchanged(etag, st.st_mtime):
                    self.send_response(304)
                    self.send_header("ETag", etag)
                    self.end_headers()
                    return
                wanted = None
                if if_range_holds(self.headers.get("If-Range"), etag, modified):
                    wanted = byte_range(self.headers.get("Range"), total)
                if wanted is False:
                    self.send_response(416)
                    self.send_header("Content-Range", f"bytes */{total}")
                    self.send_header("Content-Length", "0")
                    self.end_headers()
                    return
                first, last = wanted or (0, total - 1)
                self.send_response(206 if wanted else 200)
                self.send_header("Content-Type", self.guess_type(path))
                self.send_header("Content-Length", str(last + 1 - first))
                self.send_header("Accept-Ranges", "bytes")
                self.send_header("ETag", etag)
                self.send_header("Last-Modified", modified)
                if wanted:
                    self.send_header("Content-Range", f"bytes {first}-{last}/{total}")
                self.end_headers()
                f.seek(first)
                left = (last + 1 - first) if body else 0
                while left > 0:
                    chunk = f.read(min(left, 1 << 16))
                    if not chunk:
                        break
                    self.wfile.write(chunk)
                    left -= len(chunk)

        def unchanged(self, etag, mtime):
            """Whether the request's If-None-Match, else its If-Modified-Since,
            says the client holds the file as it is."""
            match = self.headers.get("If-None-Match")
            if match is not None:
                return match.strip() == "*" or etag in [t.strip() for t in match.split(",")]
            since = self.headers.get("If-Modified-Since")
            try:
                return since is not None and int(mtime) <= email.utils.parsedate_to_datetime(since).timestamp()
            except (TypeError, ValueError):
                return False

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    print(f"https://127.0.0.1:{httpd.server_address[1]}/{ARCHIVE}  (CURL_CA_BUNDLE={cert})", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
