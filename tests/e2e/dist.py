"""A distribution site for the tests: HTTPS on 127.0.0.1 with a certificate of
its own, serving registered files and misbehaving on request."""

import email.utils
import http.server
import os
import socket
import ssl
import sys
import threading
import time

# The certificate is made, and ranges are read, as the distribution site does.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "site"))
from serve import byte_range, if_range_holds, strong_tag  # noqa: E402
from serve import certificate as make_certificate  # noqa: E402,F401

# The Last-Modified date of the first version of every file; each later
# version is an hour younger.
EPOCH = 1704067200  # 2024-01-01 00:00:00 UTC

# The largest piece of a body written at once.
CHUNK = 1 << 16


class Answer:
    """One request to the site and how far its answer got."""

    def __init__(self, path, headers):
        self.path = path
        self.headers = dict(headers.items())
        self.range = headers.get("Range")
        self.if_range = headers.get("If-Range")
        self.status = None  # the status answered
        self.length = None  # the body's Content-Length
        self.sent = 0  # the body bytes written so far

    def __repr__(self):
        return f"<{self.path} Range={self.range} If-Range={self.if_range}: {self.status}, {self.sent}/{self.length}>"


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

    A file may also be registered as a list of bodies, served one per answer
    in turn (the last one ever after), as a file that changes between answers.
    File answers carry a strong ETag and a Last-Modified date, and serve one
    range of bytes on request (206, or 416 beyond the end), conditional on
    If-Range. These settings apply to every file, and options[NAME] (a dict of
    the same names) overrides them for one:
      etag           True: a hash of the body; False: none; a string: that
      last_modified  True: a date that changes with the body; False: none;
                     a string: that
      ranges         False: ranges are ignored, every answer is 200 whole
      drop_after     N: every answer's body breaks off after N bytes, the
                     connection closed without TLS's closing alert
    requests lists the paths asked for; answers one Answer per request;
    sent counts the body bytes written on every route.
    """

    def __init__(self, cert, key):
        self.files = {}
        self.requests = []
        self.answers = []
        self.sent = 0
        self.etag = True
        self.last_modified = True
        self.ranges = True
        self.drop_after = None
        self.options = {}
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.turns = {}  # NAME: answers given from a list of bodies
        self.versions = {}  # NAME: the ETags of its bodies, oldest first
        self.tags = {}  # id(body): (body, ETag)
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def head(self, status, length, extra=()):
                self.answer.status, self.answer.length = status, length
                self.send_response(status)
                self.send_header("Content-Length", str(length))
                for name, value in extra:
                    self.send_header(name, value)
                self.end_headers()

            def body(self, data, drop_after=None):
                """Writes data, counting it; with drop_after, breaks off
                after that many bytes and closes the connection hard."""
                end = len(data) if drop_after is None else min(len(data), drop_after)
                try:
                    for at in range(0, end, CHUNK):
                        piece = data[at:min(end, at + CHUNK)]
                        self.wfile.write(piece)
                        with site.lock:
                            self.answer.sent += len(piece)
                            site.sent += len(piece)
                    if end < len(data):
                        self.wfile.flush()
                        self.close_connection = True
                        self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:  # the client went away
                    self.close_connection = True

            def do_GET(self):
                self.answer = Answer(self.path, self.headers)
                with site.lock:
                    site.requests.append(self.path)
                    site.answers.append(self.answer)
                path = self.path.strip("/")
                parts = path.split("/")
                kind, rest = parts[0], parts[1:]
                name = path if path in site.files else "/".join(rest) if kind == "files" else None
                if name in site.files:
                    body = site.current(name)
                    if body is None:
                        self.head(404, 0)
                        return
                    self.file(name, body)
                elif kind == "status":
                    body = b"status page"
                    self.head(int(rest[0]), len(body))
                    self.body(body)
                elif kind == "redirect":
                    left = int(rest[0])
                    to = f"/redirect/{left - 1}/{rest[1]}" if left > 1 else f"/files/{rest[1]}"
                    self.head(302, 0, [("Location", to)])
                elif kind == "downgrade":
                    self.head(302, 0, [("Location", f"http://127.0.0.1:{site.port}/files/{rest[0]}")])
                elif kind == "drop":
                    body = site.files[rest[0]]
                    self.head(200, len(body))
                    self.body(body, len(body) // 2)
                elif kind == "partial":
                    body = site.files[rest[0]]
                    half = len(body) // 2
                    self.head(206, half, [("Content-Range", f"bytes 0-{half - 1}/{len(body)}")])
                    self.body(body[:half])
                elif kind == "stall":
                    body = site.files[rest[0]]
                    self.head(200, len(body))
                    self.body(body[:100])
                    self.wfile.flush()
                    site.stop.wait(120)
                    self.close_connection = True
                else:
                    self.head(404, 0)

            def file(self, name, body):
                """Answers with body, whole or the range asked for."""
                etag, modified = site.validators(name, body)
                total, wanted = len(body), None
                if site.option(name, "ranges") and if_range_holds(self.headers.get("If-Range"), etag, modified):
                    wanted = byte_range(self.headers.get("Range"), total)
                extra = [("Accept-Ranges", "bytes")] if site.option(name, "ranges") else []
                extra += [("ETag", etag)] if etag else []
                extra += [("Last-Modified", modified)] if modified else []
                if wanted is False:
                    self.head(416, 0, extra + [("Content-Range", f"bytes */{total}")])
                    return
                first, last = wanted or (0, total - 1)
                if wanted:
                    extra.append(("Content-Range", f"bytes {first}-{last}/{total}"))
                self.head(206 if wanted else 200, last + 1 - first, extra)
                self.body(memoryview(body)[first:last + 1], site.option(name, "drop_after"))

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

    def option(self, name, setting):
        """The setting for file NAME: its own in options, else the site's."""
        return self.options.get(name, {}).get(setting, getattr(self, setting))

    def current(self, name):
        """The body file NAME answers with now (None: a 404)."""
        body = self.files[name]
        if isinstance(body, list):
            with self.lock:
                turn = self.turns[name] = self.turns.get(name, -1) + 1
            body = body[min(turn, len(body) - 1)]
        return body() if callable(body) else body

    def validators(self, name, body):
        """The ETag and Last-Modified values of file NAME holding body, each
        None when switched off."""
        known = self.tags.get(id(body))
        if not known or known[0] is not body:
            known = (body, strong_tag([body]))
        with self.lock:
            if len(self.tags) >= 8:
                self.tags.pop(next(iter(self.tags)))
            self.tags[id(body)] = known
            tag = known[1]
            versions = self.versions.setdefault(name, [])
            if tag not in versions:
                versions.append(tag)
            date = email.utils.formatdate(EPOCH + 3600 * versions.index(tag), usegmt=True)
        etag, modified = self.option(name, "etag"), self.option(name, "last_modified")
        etag = tag if etag is True else etag or None
        modified = date if modified is True else modified or None
        return etag, modified

    def close(self):
        self.stop.set()
        self.server.shutdown()
        self.server.server_close()
        self.tags.clear()


def wait_for(predicate, timeout=10.0):
    """Polls predicate until it holds or timeout seconds have passed."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.05)
    return predicate()
