#!/usr/bin/env python3
"""The local distribution site: builds the demo server archive and serves it
over HTTPS on 127.0.0.1, with a certificate made on first use with openssl.

    site/serve.py [--port 8443] [--dir build/site]

The archive is at https://127.0.0.1:PORT/tarnwick/server/1.12.2.zip; the
certificate to trust (CURL_CA_BUNDLE) is DIR/cert.pem."""
import argparse
import email.utils
import hashlib
import http.server
import os
import re
import ssl
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ARCHIVE = "tarnwick/server/1.12.2.zip"


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


def server_jar(folder):
    """spigot-1.12.2.jar, compiled from demo/Server.java when it is older."""
    jar = os.path.join(folder, "spigot-1.12.2.jar")
    source = os.path.join(HERE, "demo", "Server.java")
    if os.path.exists(jar) and os.path.getmtime(jar) >= os.path.getmtime(source):
        return jar
    with tempfile.TemporaryDirectory() as classes:
        subprocess.run(["javac", "--release", "8", "-nowarn", "-d", classes, source], check=True,
                       stderr=subprocess.DEVNULL)
        manifest = os.path.join(classes, "MANIFEST.MF")
        with open(manifest, "w") as f:
            f.write("Main-Class: Server\n")
        subprocess.run(["jar", "cfm", jar + ".tmp", manifest, "-C", classes, "."], check=True)
    os.replace(jar + ".tmp", jar)
    return jar


def build(folder):
    """The demo archive: eula.txt and spigot-1.12.2.jar at its top."""
    www = os.path.join(folder, "www")
    target = os.path.join(www, ARCHIVE)
    os.makedirs(os.path.dirname(target), exist_ok=True)
    jar = server_jar(folder)
    with zipfile.ZipFile(target + ".tmp", "w", zipfile.ZIP_DEFLATED) as z:
        z.write(os.path.join(HERE, "demo", "eula.txt"), "eula.txt")
        z.write(jar, "spigot-1.12.2.jar")
    os.replace(target + ".tmp", target)
    return www


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
    parser.add_argument("--build-only", action="store_true", help="build the archive and the certificate, then stop")
    args = parser.parse_args()
    folder = os.path.abspath(args.dir)
    os.makedirs(folder, exist_ok=True)
    cert, key = certificate(folder)
    www = build(folder)
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
