#!/usr/bin/env python3
"""The local distribution site: builds the demo server archive and serves it
over HTTPS on 127.0.0.1, with a certificate made on first use with openssl.

    site/serve.py [--port 8443] [--dir build/site]

The archive is at https://127.0.0.1:PORT/tarnwick/server/1.12.2.zip; the
certificate to trust (CURL_CA_BUNDLE) is DIR/cert.pem."""
import argparse
import http.server
import os
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

    class Handler(http.server.SimpleHTTPRequestHandler):
        def __init__(self, *a, **k):
            super().__init__(*a, directory=www, **k)

        def log_message(self, *a):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    print(f"https://127.0.0.1:{httpd.server_address[1]}/{ARCHIVE}  (CURL_CA_BUNDLE={cert})", flush=True)
    try:
        httpd.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())
