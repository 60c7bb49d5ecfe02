#!/usr/bin/env python3
"""tools/server/run as a real process: the address it prints, the feed's
static files and the API under one base, path traversal, its options and
how it ends."""

import hashlib
import os
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time
import unittest

import testing_support as ts

RUN = os.path.join(ts.HERE, "run")


def read_line(process, timeout=30):
    """The first line of its standard output, or "" when it ended or
    printed nothing within `timeout`."""
    fd = process.stdout.fileno()
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            return ""
        block = os.read(fd, 1)
        if not block:
            return ""
        data += block
    return data.decode()


class RunScriptTest(ts.TempDirTest):
    def setUp(self):
        super().setUp()
        self.feed = os.path.join(self.tmp, "feed")
        os.makedirs(self.feed)

    def start(self, *args, expect_address=True):
        err = open(os.path.join(self.tmp, f"stderr-{len(os.listdir(self.tmp))}.txt"), "w+b")
        self.addCleanup(err.close)
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
        process = ts.start_child([sys.executable, RUN, *args], env=env, stdout=subprocess.PIPE, stderr=err)
        self.addCleanup(process.stdout.close)
        self.addCleanup(ts.stop_child, process)
        process.stderr_file = err
        if expect_address:
            line = read_line(process)
            self.assertRegex(line, r"^http://127\.0\.0\.1:[1-9][0-9]*\n$", self.stderr_of(process))
            process.base = line.strip()
            process.hostport = process.base[len("http://"):]
        return process

    @staticmethod
    def stderr_of(process):
        process.stderr_file.flush()
        process.stderr_file.seek(0)
        return process.stderr_file.read().decode(errors="replace")

    def write(self, relative, data):
        path = os.path.join(self.feed, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_prints_its_base_address_once_it_accepts_connections(self):
        process = self.start("--feed", self.feed)
        # No waiting: the printed line is the promise that it is ready.
        answer = ts.http_request(process.hostport, "GET", "/api/status")
        self.assertEqual(answer.status, 200)
        self.assertEqual(answer.json()["name"], "Vantor reference server")
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(30), 0)
        self.assertEqual(process.stdout.read(), b"", "only the address goes to standard output")

    def test_serves_the_feed_and_the_api_under_one_base(self):
        latest = b'{"game": {"version": "1.0.0"}}'
        chunk = os.urandom(3 * 256 * 1024 + 17)
        digest = hashlib.sha256(chunk).hexdigest()
        self.write("stable/latest.json", latest)
        self.write(f"objects/{digest[:2]}/{digest}", chunk)
        self.write("addons/catalog.json", b"[]")
        self.write("install/index.html", b"<p>Download</p>")
        os.makedirs(os.path.join(self.feed, "empty"))
        process = self.start("--feed", self.feed, "--name", "Kestrel", "--address", "game.example:4000",
                             "--max-players", "10", "--players", "3")
        url = process.hostport

        answer = ts.http_request(url, "GET", "/stable/latest.json")
        self.assertEqual((answer.status, answer.body), (200, latest))
        self.assertEqual(answer.headers["content-type"], "application/json")
        answer = ts.http_request(url, "GET", f"/objects/{digest[:2]}/{digest}")
        self.assertEqual(answer.status, 200)
        self.assertEqual(hashlib.sha256(answer.body).hexdigest(), digest)
        self.assertEqual(int(answer.headers["content-length"]), len(chunk))
        answer = ts.http_request(url, "GET", "/install/?ref=ABCD2345")
        self.assertEqual((answer.status, answer.body), (200, b"<p>Download</p>"))
        answer = ts.http_request(url, "HEAD", "/stable/latest.json")
        self.assertEqual((answer.status, answer.body, answer.headers["content-length"]),
                         (200, b"", str(len(latest))))
        for missing in ("/stable/missing.json", "/empty/", "/objects/", "/"):
            with self.subTest(path=missing):
                answer = ts.http_request(url, "GET", missing)
                self.assertEqual(answer.status, 404)
                self.assertTrue(answer.error)
        self.assertEqual(ts.http_request(url, "POST", "/stable/latest.json", body={}).status, 405)

        # Four downloads at once, as the launcher's chunk workers make them.
        bodies = []

        def fetch():
            bodies.append(ts.http_request(url, "GET", f"/objects/{digest[:2]}/{digest}").body)

        threads = [threading.Thread(target=fetch) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(bodies, [chunk] * 4)

        self.assertEqual(ts.http_request(url, "GET", "/api/status").json(),
                         {"name": "Kestrel", "address": "game.example:4000", "maxPlayers": 10, "playerCount": 3})
        created = ts.http_request(url, "POST", "/api/account/create",
                                  body={"username": "Pilot", "password": "correct horse", "ref": ""})
        self.assertEqual(created.status, 200, created)
        token = created.json()["token"]
        me = ts.http_request(url, "GET", "/api/account/me", headers={"Authorization": f"Bearer {token}"})
        self.assertEqual(me.json()["profile"]["username"], "Pilot")

    def test_path_traversal_is_refused(self):
        secret = b"the secret outside the feed"
        with open(os.path.join(self.tmp, "secret.txt"), "wb") as f:
            f.write(secret)
        self.write("stable/latest.json", b"{}")
        os.symlink(os.path.join(self.tmp, "secret.txt"), os.path.join(self.feed, "escape.txt"))
        os.symlink(self.tmp, os.path.join(self.feed, "outside"))
        os.symlink(os.path.join(self.feed, "stable", "latest.json"), os.path.join(self.feed, "alias.json"))
        process = self.start("--feed", self.feed)
        host, port = process.hostport.split(":")
        attempts = [
            "/../secret.txt", "/stable/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2E/secret.txt",
            "/..%2fsecret.txt", "/%2e%2e%2fsecret.txt", "/stable/%2e%2e/%2e%2e/secret.txt",
            "/..\\secret.txt", "/%5c..%5csecret.txt", "/escape.txt", "/outside/secret.txt",
            "//" + os.path.join(self.tmp, "secret.txt").lstrip("/"),
            "/stable/latest.json%00.txt", "/%ff%fe", "/./../secret.txt",
        ]
        for target in attempts:
            with self.subTest(target=target):
                raw = ts.raw_request(host, int(port), f"GET {target} HTTP/1.0\r\nHost: x\r\n\r\n".encode())
                status = int(raw.split(b" ", 2)[1])
                self.assertIn(status, (400, 404), raw[:200])
                self.assertNotIn(secret, raw)
        # Links that stay inside the feed are fine.
        self.assertEqual(ts.http_request(process.hostport, "GET", "/alias.json").body, b"{}")
        self.assertEqual(ts.http_request(process.hostport, "GET", "/stable/./latest.json").body, b"{}")

    def test_sigterm_ends_it_and_removes_its_temporary_data(self):
        process = self.start()
        found = re.search(r"accounts are kept in (\S+)", self.stderr_of(process))
        self.assertIsNotNone(found, self.stderr_of(process))
        data = found.group(1)
        self.assertTrue(os.path.exists(os.path.join(data, "server.db")))
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(30), 0)
        self.assertFalse(os.path.exists(data))

    def test_a_data_folder_keeps_accounts_across_restarts(self):
        data = os.path.join(self.tmp, "data")
        first = self.start("--data", data)
        created = ts.http_request(first.hostport, "POST", "/api/account/create",
                                  body={"username": "Pilot", "password": "correct horse", "ref": ""})
        self.assertEqual(created.status, 200, created)
        first.send_signal(signal.SIGINT)
        self.assertEqual(first.wait(30), 0)
        second = self.start("--data", data)
        answer = ts.http_request(second.hostport, "POST", "/api/account/signin",
                                 body={"username": "Pilot", "password": "correct horse"})
        self.assertEqual(answer.status, 200, answer)
        token = created.json()["token"]
        me = ts.http_request(second.hostport, "GET", "/api/account/me", headers={"Authorization": f"Bearer {token}"})
        self.assertEqual(me.status, 200)

    def test_a_port_in_use_is_reported(self):
        with socket.socket() as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen()
            port = holder.getsockname()[1]
            process = self.start("--port", str(port), expect_address=False)
            self.assertEqual(process.wait(30), 1)
            self.assertEqual(process.stdout.read(), b"")
            self.assertIn(f"cannot listen on 127.0.0.1:{port}", self.stderr_of(process))

    def test_bad_settings_end_it_with_a_message(self):
        cases = [
            (["--address", "no port"], 2, "is not host:port"),
            (["--feed", os.path.join(self.tmp, "missing")], 2, "no such folder"),
            (["--port", "70000"], 2, "--port must be 0 to 65535"),
            (["--data", os.path.join(self.feed, "a-file")], 1, "cannot open the database"),
            (["--limits", "everything=1/1"], 2, "--limits 'everything=1/1': the limits are signin-network"),
            (["--limits", "event-network=5"], 2, "event-network=COUNT/SECONDS"),
            (["--database", "mysql://db.example/vantor"], 2, "must be a postgresql:// URL"),
            # Nothing listens there; the password never reaches a message.
            (["--database", f"postgresql://vantor:hunter2@/vantor?host={self.tmp}/nowhere"], 1,
             "cannot open the database postgresql://vantor:***@/vantor"),
        ]
        with open(os.path.join(self.feed, "a-file"), "w") as f:
            f.write("not a folder")
        for args, code, text in cases:
            with self.subTest(args=args):
                process = self.start(*args, expect_address=False)
                self.assertEqual(process.wait(30), code)
                self.assertIn(text, self.stderr_of(process))
                self.assertNotIn("hunter2", self.stderr_of(process))
                self.assertEqual(process.stdout.read(), b"")

    @unittest.skipUnless(ts.postgres_binaries() and ts.have_psycopg2(), ts.POSTGRES_MISSING)
    def test_a_postgresql_database_keeps_accounts_across_restarts(self):
        database = ts.postgres().new_database()
        first = self.start("--database", database)
        self.assertNotIn("accounts are kept in", self.stderr_of(first))  # no temporary folder
        created = ts.http_request(first.hostport, "POST", "/api/account/create",
                                  body={"username": "Pilot", "password": "correct horse", "ref": ""})
        self.assertEqual(created.status, 200, created)
        first.send_signal(signal.SIGTERM)
        self.assertEqual(first.wait(30), 0)
        self.assertEqual(ts.rows(database, "SELECT username FROM accounts"), [("Pilot",)])
        second = self.start("--database", database)
        token = created.json()["token"]
        me = ts.http_request(second.hostport, "GET", "/api/account/me", headers={"Authorization": f"Bearer {token}"})
        self.assertEqual((me.status, me.json()["profile"]["username"]), (200, "Pilot"))


if __name__ == "__main__":
    unittest.main()
