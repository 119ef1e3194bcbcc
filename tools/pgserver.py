"""A throwaway PostgreSQL server for the tests and the bench, and a counter of protocol
round trips.

``Server()`` runs ``initdb`` into a temporary directory and starts ``postgres`` on a Unix
socket in that directory and on 127.0.0.1 (a free port), nowhere else; ``stop()`` ends it
and removes the directory. The server refuses to run as root, so as root its processes
run as the ``postgres`` user. Binaries: ``QV_PG_BIN``, else the newest
``/usr/lib/postgresql/*/bin`` (Debian's layout).

Local connections (the socket) need no password. TCP connections to 127.0.0.1 need one
(scram-sha-256); ``Server.add_role`` makes a role with a password for that.

``RoundTrips(target)`` is a TCP relay on 127.0.0.1 that counts, per connection, how many
times the client sent something after the server had answered: the protocol round trips
a client waited for, whatever its driver.
"""

from __future__ import annotations

import glob
import os
import pwd
import selectors
import shutil
import socket
import subprocess
import tempfile
import threading
import urllib.parse


def bindir() -> str:
    found = os.environ.get("QV_PG_BIN")
    if found:
        return found
    dirs = glob.glob("/usr/lib/postgresql/*/bin")
    if not dirs:
        raise RuntimeError("PostgreSQL is not installed (no /usr/lib/postgresql/*/bin; set QV_PG_BIN)")
    return max(dirs, key=lambda d: int(d.split("/")[-2]))


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """One PostgreSQL cluster in a temporary directory, running until ``stop()``.

    ``fsync``: off suits tests (a killed server still keeps every commit, since the
    operating system holds what was written; only an OS crash could lose some).
    """

    def __init__(self, *, fsync: bool = False, parent: str | None = None) -> None:
        self.bin = bindir()
        self.dir = tempfile.mkdtemp(prefix="qv-pg-", dir=parent)
        self.data = os.path.join(self.dir, "data")
        self.log = os.path.join(self.dir, "server.log")
        self.port = _free_port()
        self.fsync = fsync
        self._as = None
        if os.geteuid() == 0:
            pw = pwd.getpwnam("postgres")
            self._as = (pw.pw_uid, pw.pw_gid)
            os.chown(self.dir, *self._as)
        try:
            self._run("initdb", "-D", self.data, "-U", "postgres", "-E", "UTF8", "--no-locale", "--no-sync",
                      "--auth-local=trust", "--auth-host=scram-sha-256")
            self.start()
        except BaseException:
            shutil.rmtree(self.dir, ignore_errors=True)
            raise

    def _run(self, tool: str, *args: str) -> None:
        kw = {}
        if self._as:
            kw = {"user": self._as[0], "group": self._as[1], "extra_groups": []}
        out = subprocess.run([os.path.join(self.bin, tool), *args], capture_output=True, text=True, **kw)
        if out.returncode:
            raise RuntimeError(f"{tool} failed ({out.returncode}): {out.stderr.strip() or out.stdout.strip()}")

    def start(self) -> None:
        opts = (f"-k {self.dir} -c listen_addresses=127.0.0.1 -p {self.port} -c fsync={'on' if self.fsync else 'off'}"
                " -c max_connections=200")
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-w", "-t", "60", "-o", opts, "start")

    def stop(self, mode: str = "fast") -> None:
        """Stops the server (``immediate``: kills it, as a crash would)."""
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", "60", "stop")

    def close(self) -> None:
        try:
            if os.path.exists(os.path.join(self.data, "postmaster.pid")):
                self.stop("immediate")
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def url(self, dbname: str = "postgres", user: str = "postgres") -> str:
        """A URL that reaches the server through its Unix socket (no password)."""
        return f"postgresql://{user}@/{dbname}?host={urllib.parse.quote(self.dir, safe='')}&port={self.port}"

    def tcp_url(self, user: str, password: str, dbname: str = "postgres") -> str:
        return (f"postgresql://{urllib.parse.quote(user, safe='')}:{urllib.parse.quote(password, safe='')}"
                f"@127.0.0.1:{self.port}/{dbname}")

    def psql(self, sql: str, dbname: str = "postgres") -> str:
        out = subprocess.run([os.path.join(self.bin, "psql"), "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1",
                              "-h", self.dir, "-p", str(self.port), "-U", "postgres", "-d", dbname, "-c", sql],
                             capture_output=True, text=True)
        if out.returncode:
            raise RuntimeError(f"psql failed: {out.stderr.strip()}")
        return out.stdout.strip()

    def create_database(self, name: str) -> str:
        self.psql(f'CREATE DATABASE "{name}"')
        return self.url(name)

    def add_role(self, name: str, password: str) -> None:
        # psql's own quoting of literals and identifiers, so any password goes in whole.
        subprocess.run([os.path.join(self.bin, "psql"), "-X", "-q", "-v", "ON_ERROR_STOP=1", "-h", self.dir,
                        "-p", str(self.port), "-U", "postgres", "-v", f"name={name}", "-v", f"pw={password}"],
                       input="CREATE ROLE :\"name\" LOGIN SUPERUSER PASSWORD :'pw';\n", text=True, check=True,
                       capture_output=True)

    def __enter__(self) -> Server:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class RoundTrips:
    """A TCP relay to the server's 127.0.0.1 port that counts round trips.

    A round trip starts whenever the client sends after the server last spoke (or first),
    so a pipeline of statements sent together and answered together counts once.
    ``count`` is the total over every connection made through the relay.
    """

    def __init__(self, port: int) -> None:
        self.target = ("127.0.0.1", port)
        self.count = 0
        self._listen = socket.create_server(("127.0.0.1", 0))
        self.port = self._listen.getsockname()[1]
        self._sel = selectors.DefaultSelector()
        self._sel.register(self._listen, selectors.EVENT_READ, None)
        self._wake_r, self._wake_w = socket.socketpair()
        self._sel.register(self._wake_r, selectors.EVENT_READ, "wake")
        self._lock = threading.Lock()
        self._stop = False
        self._cut = False
        self._thread = threading.Thread(target=self._loop, name="round-trip relay", daemon=True)
        self._thread.start()

    def url(self, user: str, password: str, dbname: str = "postgres") -> str:
        return (f"postgresql://{urllib.parse.quote(user, safe='')}:{urllib.parse.quote(password, safe='')}"
                f"@127.0.0.1:{self.port}/{dbname}?sslmode=disable")

    def _loop(self) -> None:
        # For each connection: [client, server, server spoke last]
        while not self._stop:
            for key, _ in self._sel.select(1.0):
                if key.data == "wake":
                    self._wake_r.recv(64)
                    continue
                if key.data is None:
                    client, _ = self._listen.accept()
                    try:
                        server = socket.create_connection(self.target)
                    except OSError:  # the server is down: so is the relay's connection
                        client.close()
                        continue
                    for s in (client, server):
                        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    pair = [client, server, True]
                    self._sel.register(client, selectors.EVENT_READ, (pair, 0))
                    self._sel.register(server, selectors.EVENT_READ, (pair, 1))
                    continue
                pair, side = key.data
                src, dst = pair[side], pair[1 - side]
                try:
                    data = src.recv(1 << 16)
                except OSError:
                    data = b""
                if not data:
                    for s in pair[:2]:
                        try:
                            self._sel.unregister(s)
                        except (KeyError, ValueError):
                            pass
                        s.close()
                    continue
                if side == 1 and self._cut:
                    self._cut = False
                    data = b""
                    for s in pair[:2]:
                        self._sel.unregister(s)
                        s.close()
                    continue
                if side == 0 and pair[2]:
                    with self._lock:
                        self.count += 1
                pair[2] = side == 1
                try:
                    dst.sendall(data)
                except OSError:
                    pass

    def cut_next_reply(self) -> None:
        """The next answer from the server is not passed on: both connections close
        instead, as when a network fails after the server got the request."""
        self._cut = True

    def close(self) -> None:
        self._stop = True
        self._wake_w.send(b"x")
        self._thread.join()
        for key in list(self._sel.get_map().values()):
            key.fileobj.close()
        self._sel.close()
        self._wake_w.close()
