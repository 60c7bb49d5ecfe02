"""Helpers shared by the server's tests: WSGI calls in-process and HTTP over
TCP or Unix sockets, child processes that die with the test, a PostgreSQL
server of the tests' own, and direct looks into the database."""

import atexit
import ctypes
import glob
import http.client
import io
import itertools
import json
import os
import pwd
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from wsgiref import util as wsgi_util
from wsgiref.validate import validator

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

from vantor_server.config import Config  # noqa: E402
from vantor_server.app import create_app  # noqa: E402


class Answer:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = {k.lower(): v for k, v in headers}
        self.body = body

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    @property
    def error(self):
        return self.json().get("error")

    def __repr__(self):
        return f"<{self.status} {self.body[:300]!r}>"


class Clock:
    """A clock the test moves by hand."""

    def __init__(self, now=1_800_000_000.0):
        self.now = now

    def __call__(self):
        return self.now


# The scrypt N of the in-process tests' password hashes: the real cost
# (2^17) takes about a second and 128 MiB per hash, and these tests make
# hundreds. Tests of the cost itself pass scrypt_n explicitly.
FAST_SCRYPT_N = 1 << 10


class InProcessServer:
    """The WSGI application called directly, checked by wsgiref's validator
    on every request (a protocol slip fails the test)."""

    def __init__(self, data_dir, clock=None, **settings):
        settings.setdefault("scrypt_n", FAST_SCRYPT_N)
        self.config = Config(data_dir=data_dir, **settings)
        self.clock = clock or Clock()
        self.app = create_app(self.config, clock=self.clock)

    def call(self, method, path, body=None, raw=None, headers=None, content_type="application/json",
             remote="192.0.2.10", extra_environ=None, validate=True):
        data = raw if raw is not None else (b"" if body is None else json.dumps(body).encode("utf-8"))
        environ = {}
        wsgi_util.setup_testing_defaults(environ)
        environ.update({
            "REQUEST_METHOD": method,
            "PATH_INFO": path,
            "REMOTE_ADDR": remote,
            "QUERY_STRING": "",
            "wsgi.input": io.BytesIO(data),
            "CONTENT_LENGTH": str(len(data)),
        })
        if content_type:
            environ["CONTENT_TYPE"] = content_type
        for name, value in (headers or {}).items():
            environ["HTTP_" + name.upper().replace("-", "_")] = value
        environ.update(extra_environ or {})
        if environ.get("CONTENT_LENGTH") is None:
            del environ["CONTENT_LENGTH"]
        seen = {}

        def start_response(status, response_headers, exc_info=None):
            seen["status"] = int(status.split(" ", 1)[0])
            seen["headers"] = response_headers
            return lambda data: None

        # The validator itself refuses environments a broken client or server
        # could produce (a negative length); those are sent unchecked.
        app = validator(self.app) if validate else self.app
        result = app(environ, start_response)
        try:
            body = b"".join(result)
        finally:
            if hasattr(result, "close"):
                result.close()
        return Answer(seen["status"], seen["headers"], body)

    def post(self, path, body=None, token=None, **kwargs):
        headers = kwargs.pop("headers", {}) or {}
        if token is not None:
            headers["Authorization"] = f"Bearer {token}"
        return self.call("POST", path, body=body, headers=headers, **kwargs)

    def get(self, path, token=None, **kwargs):
        headers = {"Authorization": f"Bearer {token}"} if token is not None else {}
        return self.call("GET", path, headers=headers, content_type=None, **kwargs)


def database_rows(data_dir, query, args=()):
    conn = sqlite3.connect(os.path.join(data_dir, "server.db"))
    try:
        return conn.execute(query, args).fetchall()
    finally:
        conn.close()


def database_bytes(data_dir):
    """Every byte SQLite keeps for the database: the file, its WAL and its
    shared-memory index."""
    out = b""
    for suffix in ("", "-wal", "-shm", "-journal"):
        path = os.path.join(data_dir, "server.db" + suffix)
        if os.path.exists(path):
            with open(path, "rb") as f:
                out += f.read()
    return out


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=30):
        super().__init__("localhost", timeout=timeout)
        self.socket_path = path

    def connect(self):
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.settimeout(self.timeout)
            sock.connect(self.socket_path)
        except BaseException:
            sock.close()
            raise
        self.sock = sock


def http_request(connection, method, path, body=None, headers=None, raw=None, timeout=30):
    """One request on a fresh connection (TCP: "host:port"; Unix: a path)."""
    if connection.startswith("/"):
        conn = UnixHTTPConnection(connection, timeout=timeout)
    else:
        host, port = connection.rsplit(":", 1)
        conn = http.client.HTTPConnection(host, int(port), timeout=timeout)
    try:
        data = raw if raw is not None else (None if body is None else json.dumps(body).encode("utf-8"))
        all_headers = {"Content-Type": "application/json"} if data is not None else {}
        all_headers.update(headers or {})
        conn.request(method, path, body=data, headers=all_headers)
        response = conn.getresponse()
        return Answer(response.status, response.getheaders(), response.read())
    finally:
        conn.close()


def raw_request(host, port, request_bytes):
    """Sends bytes exactly as given (no client-side path clean-up) and
    returns the whole answer."""
    with socket.create_connection((host, port), timeout=30) as sock:
        sock.sendall(request_bytes)
        chunks = []
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


def _die_with_parent(signum=signal.SIGTERM):
    # Runs in the child between fork and exec (after any change of user,
    # which would clear it): the kernel sends it `signum` when the test
    # process dies, so no server outlives its test.
    ctypes.CDLL(None, use_errno=True).prctl(1, signum)  # PR_SET_PDEATHSIG


def start_child(argv, env=None, death_signal=signal.SIGTERM, **kwargs):
    return subprocess.Popen(argv, env=env, start_new_session=True,
                            preexec_fn=lambda: _die_with_parent(death_signal), **kwargs)


def stop_child(process, timeout=10):
    """SIGTERM, then SIGKILL of its whole process group."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass
    process.wait()


class TempDirTest(unittest.TestCase):
    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="vantor-server-test-")
        self.tmp = self._tmp.name
        self.addCleanup(self._tmp.cleanup)


# --- PostgreSQL

def postgres_binaries():
    """The folder of Debian's PostgreSQL server programs (the newest
    installed), or None."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/postgres"),
                   key=lambda path: int(path.split("/")[-3]) if path.split("/")[-3].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


def have_psycopg2():
    try:
        import psycopg2  # noqa: F401
    except ImportError:
        return False
    return True


POSTGRES_MISSING = ("PostgreSQL's server or psycopg2 is not installed (scripts/setup.sh installs postgresql and"
                    " python3-psycopg2)")


class PostgresCluster:
    """A PostgreSQL server of the tests' own: a new cluster in a temporary
    folder, listening only on a Unix socket in that folder (no TCP), with
    trust authentication for the one user "vantor". The folder is 0700, so
    only its owner and root can reach the socket.

    PostgreSQL refuses to run as root; under root (as the tests run here)
    the cluster belongs to the "postgres" system user Debian's package
    creates, and initdb and the server run as that user (subprocess's
    user/group: setgid and setuid in the child, before exec). The server is
    a child of this process that the kernel stops with a fast shutdown
    (SIGINT) should this process die; stop() does the same and removes the
    folder."""

    USER = "vantor"

    def __init__(self):
        self.bin = postgres_binaries()
        if self.bin is None or not have_psycopg2():
            raise RuntimeError(POSTGRES_MISSING)
        self.run_as = {}
        self.folder = tempfile.mkdtemp(prefix="vantor-pg-", dir=self._parent_folder())
        if os.geteuid() == 0:
            owner = pwd.getpwnam("postgres")
            os.chown(self.folder, owner.pw_uid, owner.pw_gid)
            self.run_as = {"user": owner.pw_uid, "group": owner.pw_gid, "extra_groups": []}
        self.data = os.path.join(self.folder, "data")
        self.log = os.path.join(self.folder, "postgres.log")
        self.process = None
        self._names = itertools.count(1)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    @staticmethod
    def _parent_folder():
        # The "postgres" user must be able to pass through every folder
        # above its own; root's temporary folder may not let it.
        parent = tempfile.gettempdir()
        if os.geteuid() != 0:
            return parent
        path = os.path.abspath(parent)
        while True:
            if not os.stat(path).st_mode & 0o001:
                return "/tmp"
            if path == "/":
                return parent
            path = os.path.dirname(path)

    def _run(self, argv):
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, cwd=self.folder,
                              timeout=120, **self.run_as)
        if done.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed:\n{done.stdout.decode(errors='replace')}")

    def _start(self):
        self._run([os.path.join(self.bin, "initdb"), "-D", self.data, "-U", self.USER, "--auth=trust",
                   "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"])
        with open(self.log, "wb") as log:
            # A fast shutdown when the tests die: it ends the sessions of
            # servers the tests started instead of waiting for them.
            self.process = start_child(
                [os.path.join(self.bin, "postgres"), "-D", self.data, "-k", self.folder,
                 "-c", "listen_addresses=", "-c", "fsync=off", "-c", "synchronous_commit=off",
                 "-c", "full_page_writes=off", "-c", "max_connections=100"],
                death_signal=signal.SIGINT, stdout=log, stderr=subprocess.STDOUT, cwd=self.folder,
                **self.run_as)
        import psycopg2
        deadline = time.monotonic() + 60
        while True:
            if self.process.poll() is not None:
                raise RuntimeError(f"postgres ended at start:\n{self.log_tail()}")
            try:
                psycopg2.connect(self.url("postgres")).close()
                return
            except psycopg2.OperationalError:
                if time.monotonic() > deadline:
                    raise RuntimeError(f"postgres did not accept connections within 60 s:\n{self.log_tail()}")
            time.sleep(0.05)

    def log_tail(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()[-3000:]
        except OSError:
            return ""

    def url(self, database):
        return f"postgresql://{self.USER}@/{database}?host={self.folder}"

    def new_database(self):
        """The URL of a new, empty database: a schema of its own in the
        cluster's one database (much quicker to make than a database),
        chosen by the URL's search_path."""
        import psycopg2
        name = f"test_{os.getpid()}_{next(self._names)}"
        conn = psycopg2.connect(self.url("postgres"))
        try:
            conn.autocommit = True
            conn.cursor().execute(f'CREATE SCHEMA "{name}"')
        finally:
            conn.close()
        return self.url("postgres") + f"&options=-csearch_path%3D{name}"

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                pass
        if self.process is not None:
            stop_child(self.process)
        shutil.rmtree(self.folder, ignore_errors=True)


_cluster = None
_cluster_lock = threading.Lock()


def postgres():
    """The tests' PostgreSQL server, started on first use and stopped when
    the test process exits."""
    global _cluster
    with _cluster_lock:
        if _cluster is None:
            _cluster = PostgresCluster()
            atexit.register(_cluster.stop)
        return _cluster


def rows(database, query, args=()):
    """Rows of a query with "?" placeholders, from a data folder's SQLite
    database or from a postgresql:// URL."""
    if database.startswith("postgresql://"):
        import psycopg2
        conn = psycopg2.connect(database)
        try:
            cursor = conn.cursor()
            cursor.execute(query.replace("?", "%s"), tuple(args))
            return [tuple(row) for row in cursor.fetchall()]
        finally:
            conn.close()
    return database_rows(database, query, args)


def postgres_stored_bytes(url):
    """Every byte PostgreSQL keeps for one database of the tests' cluster:
    its table files and the write-ahead log, after a checkpoint."""
    import psycopg2
    conn = psycopg2.connect(url)
    try:
        conn.autocommit = True
        cursor = conn.cursor()
        cursor.execute("CHECKPOINT")
        cursor.execute("SELECT oid FROM pg_database WHERE datname = current_database()")
        oid = cursor.fetchone()[0]
    finally:
        conn.close()
    data = postgres().data
    out = []
    for folder in (os.path.join(data, "base", str(oid)), os.path.join(data, "pg_wal")):
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    out.append(f.read())
    return b"".join(out)


class BackendTest(TempDirTest):
    """A test against one of the server's databases: SQLite in the test's
    folder here; PostgresBackendTest below runs the same tests on a new
    PostgreSQL database each."""

    backend = "sqlite"
    # Settings every server of the test gets unless a test says otherwise.
    settings = {}

    def setUp(self):
        super().setUp()
        self.clock = Clock()
        self.database = self.new_database()

    def new_database(self):
        """A new, empty database: a folder for SQLite, a URL for PostgreSQL."""
        if self.backend == "sqlite":
            folder = tempfile.mkdtemp(dir=self.tmp)
            return folder
        return postgres().new_database()

    def new_server(self, database=None, **settings):
        """A server on `database` (default: the test's) with the test's clock."""
        database = database or self.database
        merged = dict(self.settings, **settings)
        merged.setdefault("clock", self.clock)
        if database.startswith("postgresql://"):
            return InProcessServer(self.tmp, database=database, **merged)
        return InProcessServer(database, **merged)

    def rows(self, query, args=(), database=None):
        return rows(database or self.database, query, args)

    def stored_bytes(self):
        if self.backend == "sqlite":
            return database_bytes(self.database)
        return postgres_stored_bytes(self.database)


def on_postgres(test_class):
    """The same tests against PostgreSQL: a subclass named Postgres<name>,
    skipped with a reason when PostgreSQL is not installed."""
    available = postgres_binaries() is not None and have_psycopg2()
    cls = type(f"Postgres{test_class.__name__}", (test_class,), {"backend": "postgresql",
                                                                   "__module__": test_class.__module__})
    return unittest.skipUnless(available, POSTGRES_MISSING)(cls)
