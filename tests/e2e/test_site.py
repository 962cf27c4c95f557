"""The distribution site as static files: built the same way every time, and
served by nginx (Debian's package) from the configuration in site/, to the
launcher's key 1, a download cut part-way included."""

import hashlib
import pathlib
import random
import re
import select
import shutil
import socket
import subprocess
import threading
import time
import zipfile

import pytest

from conftest import ARCHIVE

SITE = pathlib.Path(__file__).resolve().parents[2] / "site"
JAVA = "tarnwick/java/8/linux-x64.zip"
NGINX = "/usr/sbin/nginx"


def build_site(folder, build):
    """The site's files and certificate in folder, as site/serve.py makes them;
    the Java runtime that jlink made when the build was configured is taken
    from the build's site, as long as the JDK has not changed since."""
    subprocess.run(["/usr/bin/python3", str(SITE / "serve.py"), "--dir", str(folder), "--build-only",
                    "--cache", str(build / "site")], check=True, timeout=120)
    return folder


@pytest.fixture(scope="module")
def site_folder(tmp_path_factory, build):
    return build_site(tmp_path_factory.mktemp("site"), build)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def answers(port, timeout=10.0):
    """Waits until something accepts connections on port."""
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


class Nginx:
    """nginx in the foreground, one process, with a prefix of its own for
    its pid file, logs and temporary files, on a free loopback port."""

    def __init__(self, prefix, root, cert, key, listen=""):
        (prefix / "tmp").mkdir(parents=True)
        self.prefix = prefix
        for _ in range(3):  # the port may be taken between choosing and binding it
            self.port = free_port()
            conf = (SITE / "nginx.conf").read_text()
            for name, value in {"PORT": self.port, "ROOT": root, "CERT": cert, "KEY": key}.items():
                conf = conf.replace(f"@{name}@", str(value))
            conf = conf.replace(" ssl;", f" ssl{listen};", 1)
            (prefix / "nginx.conf").write_text(conf)
            self.process = subprocess.Popen(
                [NGINX, "-p", str(prefix), "-c", str(prefix / "nginx.conf"), "-g", "daemon off; master_process off;"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if answers(self.port) and self.process.poll() is None:
                self.host = f"https://127.0.0.1:{self.port}"
                return
            self.stop()
        pytest.fail(f"nginx did not start: {(prefix / 'error.log').read_text(errors='replace')[-2000:]}")

    def log(self):
        """(status, body bytes sent, range asked for) of each answer so far."""
        lines = (self.prefix / "access.log").read_text().splitlines()
        return [(int(m[1]), int(m[2]), m[3]) for m in (re.match(r'(\d+) (\d+) "[^"]*" "([^"]*)"', x) for x in lines)]

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


class CuttingProxy:
    """A TCP proxy on a free loopback port in front of to_port. The first
    connection is cut, both ways, once cut bytes have gone from the server
    to the client; the later ones pass whole."""

    def __init__(self, to_port, cut):
        self.to_port, self.cut = to_port, cut
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.connections = 0
        self.forwarded = []  # bytes the server sent through, per connection
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            limit = self.cut if self.connections == 0 else None
            self.connections += 1
            self.forwarded.append(0)
            threading.Thread(target=self.pipe, args=(client, len(self.forwarded) - 1, limit), daemon=True).start()

    def pipe(self, client, index, limit):
        server = socket.socket()
        # A small buffer keeps what the server has sent close to what went through.
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 16384)
        ends = {client: server, server: client}
        try:
            server.connect(("127.0.0.1", self.to_port))
            while True:
                ready, _, _ = select.select(list(ends), [], [], 30)
                if not ready:
                    return
                for source in ready:
                    want = 65536
                    if source is server and limit is not None:
                        want = min(want, limit - self.forwarded[index])
                    data = source.recv(want)
                    if not data:
                        return
                    ends[source].sendall(data)
                    if source is server:
                        self.forwarded[index] += len(data)
                        if limit is not None and self.forwarded[index] >= limit:
                            return
        except OSError:
            return
        finally:
            # The client gets what went through, then the end without TLS's
            # closing alert; the server, a reset.
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            client.close()
            server.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
            server.close()

    def close(self):
        self.listener.close()


@pytest.fixture
def nginx(tmp_path, site_folder):
    servers = []

    def start(root=None, listen=""):
        server = Nginx(tmp_path / f"nginx-{len(servers)}", root or site_folder / "www", site_folder / "cert.pem",
                       site_folder / "key.pem", listen)
        servers.append(server)
        return server

    yield start
    for server in servers:
        server.stop()


def install(launch, start, env, timeout=60):
    """Key 1, server 1, a Java path, then key 3; returns the session."""
    s = launch(start, env=env)
    s.menu()
    s.child.send("1")
    s.child.sendline("1")
    s.child.expect_exact("请输入Java(Java8)的路径(java.exe):", timeout=timeout)
    s.child.sendline("/usr/bin/java")
    s.java_taken()
    s.child.send("3")
    s.finish()
    assert s.child.exitstatus == 0
    return s


def test_two_builds_of_the_site_are_the_same_bytes(site_folder, build):
    # The other build is the one made in the build's own folder when it was
    # configured, the one the build's checks were learnt from.
    cache = (build / "CMakeCache.txt").read_text()
    for name, pin, beside in [(ARCHIVE, "ARCHIVE", ["1.12.2.zip"]),
                              (JAVA, "JAVA", ["linux-x64.zip", "windows-x64.zip"])]:
        first, second = (f / "www" / name for f in (site_folder, build / "site"))
        assert first.read_bytes() == second.read_bytes()
        digest = hashlib.sha256(first.read_bytes()).hexdigest()
        sums = (first.parent / "SHA256SUMS").read_text().splitlines()
        assert [line.split("  ")[1] for line in sums] == beside and f"{digest}  {first.name}" in sums
        assert subprocess.run(["sha256sum", "--check", "--status", "SHA256SUMS"], cwd=first.parent).returncode == 0
        # What the build checks by default is this archive.
        assert f"VELLOMAR_{pin}_SHA256:STRING={digest}\n" in cache
    # The runtime: in one folder, in name order, with the fixed date, its
    # programs executable.
    with zipfile.ZipFile(site_folder / "www" / JAVA) as z:
        entries = z.infolist()
    names = [e.filename for e in entries]
    top = names[0]
    assert names == sorted(names) and all(n.startswith(top) for n in names) and top.endswith("/")
    assert {e.date_time for e in entries} == {(2024, 1, 1, 0, 0, 0)}
    assert oct(next(e for e in entries if e.filename == top + "bin/java").external_attr >> 16) == "0o100755"


def test_key_1_installs_from_nginx(launch, start, nginx, site_folder):
    server = nginx()
    install(launch, start, {"VELLOMAR_DIST_HOST": server.host, "CURL_CA_BUNDLE": str(site_folder / "cert.pem")})
    archive = (site_folder / "www" / ARCHIVE).read_bytes()
    work = start / "vellomar"
    assert (work / "1.12.2.zip").read_bytes() == archive
    assert (work / "1.12.2" / "eula.txt").exists() and (work / "1.12.2" / "spigot-1.12.2.jar").exists()
    assert server.log() == [(200, len(archive), "-")]


def test_the_demo_java_installs_from_nginx(launch, start, nginx, site_folder):
    server = nginx()
    (start / "vellomar" / "1.12.2").mkdir(parents=True)
    for name in ("eula.txt", "spigot-1.12.2.jar"):
        (start / "vellomar" / "1.12.2" / name).write_text("extracted before\n")
    # No Java 8 to be found: the offer comes, and the runtime published is the
    # one the build checks for by default, Java 17 as it says.
    s = launch(start, env={"VELLOMAR_DIST_HOST": server.host, "CURL_CA_BUNDLE": str(site_folder / "cert.pem"),
                           "JDK_HOME": ""})
    s.menu()
    s.child.send("1")
    s.child.sendline("1")
    assert "要从分发站点下载Java8（64位）吗？" in s.notice()
    s.child.send("y")
    assert "找到的Java版本是17，此服务器需要Java8。" in s.notice()
    s.child.send("y")
    s.menu()
    s.child.send("3")
    s.finish()
    archive = (site_folder / "www" / JAVA).read_bytes()
    assert server.log() == [(200, len(archive), "-")]
    with zipfile.ZipFile(site_folder / "www" / JAVA) as z:
        top = z.namelist()[0]
    java = start / "vellomar" / "java8" / top / "bin" / "java"
    assert (start / "vellomar" / "1.12.2" / "java").read_bytes() == f"{java} \n".encode()
    assert sorted(p.name for p in (start / "vellomar").iterdir()) == ["1.12.2", "java8"]


def test_a_download_cut_part_way_resumes_from_nginx(launch, start, nginx, site_folder, tmp_path):
    # 8 MiB that do not compress, with the demo's eula.txt, published as the
    # archive by its SHA-256.
    root = tmp_path / "www"
    (root / ARCHIVE).parent.mkdir(parents=True)
    with zipfile.ZipFile(root / ARCHIVE, "w", zipfile.ZIP_STORED) as z:
        z.write(SITE / "demo" / "eula.txt", "eula.txt")
        z.writestr("spigot-1.12.2.jar", random.Random(20).randbytes(8 << 20))
    archive = (root / ARCHIVE).read_bytes()
    digest = hashlib.sha256(archive).hexdigest()
    # A small send buffer: what nginx counts as sent is close to what has
    # gone through the link when it is cut.
    server = nginx(root, listen=" sndbuf=32k")
    proxy = CuttingProxy(server.port, cut=3 << 20)
    try:
        s = install(launch, start, {"VELLOMAR_DIST_HOST": f"https://127.0.0.1:{proxy.port}",
                                    "CURL_CA_BUNDLE": str(site_folder / "cert.pem"),
                                    "VELLOMAR_ARCHIVE_SHA256": digest})
    finally:
        proxy.close()
    saved = start / "vellomar" / "1.12.2.zip"
    assert hashlib.sha256(saved.read_bytes()).hexdigest() == digest
    assert "与发布的文件不同" not in s.output
    # The first answer was cut; the second asked for the rest, from where
    # the launcher's bytes ended, and nginx sent only that.
    (first, sent_first, asked_first), (second, sent_second, asked) = server.log()
    assert (first, asked_first, second) == (200, "-", 206)
    had = int(re.fullmatch(r"bytes=(\d+)-", asked)[1])
    assert 0 < had < len(archive)
    assert had + sent_second == len(archive)
    # nginx counts for the cut answer what it handed to the link, the bytes
    # lost in the cut included: never fewer than the launcher kept.
    assert had <= sent_first
    # In all, the archive once, and at most what the link held when it was cut.
    assert len(archive) <= sent_first + sent_second <= len(archive) + (256 << 10)
    print(f"nginx sent {sent_first} + {sent_second} bytes for an archive of {len(archive)}; "
          f"the launcher kept {had} of the first answer; {sent_first - had} were lost in the cut")
    assert proxy.connections == 2
