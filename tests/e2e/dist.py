"""A distribution site for the tests: HTTPS on 127.0.0.1 with a certificate of
its own, serving registered files and misbehaving on request."""

import http.server
import os
import socket
import ssl
import sys
import threading
import time

# The certificate is made as the distribution site makes its own.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "site"))
from serve import certificate as make_certificate  # noqa: E402,F401


class Site:
    """Routes:
    /NAME, /files/NAME    the bytes registered under NAME (or what a function
                          registered there returns; None is a 404)
    /status/CODE          that status, with a body
    /redirect/N/NAME      N redirects, then /files/NAME
    /downgrade/NAME       a redirect to plain HTTP
    /drop/NAME            half the body, then the connection closes
    /stall/NAME           a few bytes, then nothing until the client gives up
    /partial/NAME         206 Partial Content: the first half, though no range was asked for
    """

    def __init__(self, cert, key):
        self.files = {}
        self.requests = []
        self.stop = threading.Event()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def head(self, status, length, extra=()):
                self.send_response(status)
                self.send_header("Content-Length", str(length))
                for name, value in extra:
                    self.send_header(name, value)
                self.end_headers()

            def do_GET(self):
                site.requests.append(self.path)
                path = self.path.strip("/")
                parts = path.split("/")
                kind, rest = parts[0], parts[1:]
                name = path if path in site.files else "/".join(rest) if kind == "files" else None
                if name in site.files:
                    body = site.files[name]
                    if callable(body):
                        body = body()
                    if body is None:
                        self.head(404, 0)
                        return
                    self.head(200, len(body))
                    self.wfile.write(body)
                elif kind == "status":
                    body = b"status page"
                    self.head(int(rest[0]), len(body))
                    self.wfile.write(body)
                elif kind == "redirect":
                    left = int(rest[0])
                    to = f"/redirect/{left - 1}/{rest[1]}" if left > 1 else f"/files/{rest[1]}"
                    self.head(302, 0, [("Location", to)])
                elif kind == "downgrade":
                    self.head(302, 0, [("Location", f"http://127.0.0.1:{site.port}/files/{rest[0]}")])
                elif kind == "drop":
                    body = site.files[rest[0]]
                    self.head(200, len(body))
                    self.wfile.write(body[: len(body) // 2])
                    self.wfile.flush()
                    self.close_connection = True
                    self.connection.shutdown(socket.SHUT_RDWR)
                elif kind == "partial":
                    body = site.files[rest[0]]
                    half = len(body) // 2
                    self.head(206, half, [("Content-Range", f"bytes 0-{half - 1}/{len(body)}")])
                    self.wfile.write(body[:half])
                elif kind == "stall":
                    body = site.files[rest[0]]
                    self.head(200, len(body))
                    self.wfile.write(body[:100])
                    self.wfile.flush()
                    site.stop.wait(120)
                    self.close_connection = True
                else:
                    self.head(404, 0)

        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.port = self.server.server_address[1]
        self.host = f"https://127.0.0.1:{self.port}"
        self.cert = cert
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path):
        return self.host + path

    def close(self):
        self.stop.set()
        self.server.shutdown()
        self.server.server_close()


def wait_for(predicate, timeout=10.0):
    """Polls predicate until it holds or timeout seconds have passed."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()
