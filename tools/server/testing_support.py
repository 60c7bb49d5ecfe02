"""Helpers shared by the server's tests: WSGI calls in-process and HTTP over
TCP or Unix sockets, child processes that die with the test, and direct looks
into the database."""

import ctypes
import http.client
import io
import json
import os
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
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


class InProcessServer:
    """The WSGI application called directly, checked by wsgiref's validator
    on every request (a protocol slip fails the test)."""

    def __init__(self, data_dir, clock=None, **settings):
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


def http_request(connection, method, path, body=None, headers=None, raw=None):
    """One request on a fresh connection (TCP: "host:port"; Unix: a path)."""
    if connection.startswith("/"):
        conn = UnixHTTPConnection(connection)
    else:
        host, port = connection.rsplit(":", 1)
        conn = http.client.HTTPConnection(host, int(port), timeout=30)
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


def _die_with_parent():
    # Runs in the child between fork and exec: the kernel sends it SIGTERM
    # when the test process dies, so no server outlives its test.
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def start_child(argv, env=None, **kwargs):
    return subprocess.Popen(argv, env=env, start_new_session=True, preexec_fn=_die_with_parent, **kwargs)


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
