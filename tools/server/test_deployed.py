#!/usr/bin/env python3
"""The server as deployed: the WSGI application under real gunicorn with
several worker processes sharing one SQLite database, behind nginx, which
serves the feed's files itself and passes /api/ on. Both listen on Unix
sockets in the test's folder, so no port can be taken by anyone else."""

import concurrent.futures
import json
import os
import shutil
import sys
import tempfile
import time
import unittest

import testing_support as ts

NGINX = "/usr/sbin/nginx"
GUNICORN = shutil.which("gunicorn") or "/usr/bin/gunicorn"
WORKERS = 3


def nginx_config(prefix, feed):
    temp_paths = "".join(f'  {name}_temp_path "{prefix}/{name}";\n'
                         for name in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    # As root nginx would drop its worker to "nobody", who may not read the test's folders.
    user = "user root;\n" if os.geteuid() == 0 else ""
    return (
        "worker_processes 1;\ndaemon off;\nmaster_process on;\n" + user +
        f'pid "{prefix}/nginx.pid";\nerror_log "{prefix}/nginx-error.log" info;\n'
        "events { worker_connections 256; }\n"
        "http {\n"
        "  default_type application/octet-stream;\n"
        "  types { application/json json; }\n"
        "  access_log off;\n" + temp_paths +
        "  server {\n"
        f'    listen "unix:{prefix}/nginx.sock";\n'
        f'    root "{feed}";\n'
        "    location /api/ {\n"
        f'      proxy_pass "http://unix:{prefix}/api.sock:";\n'
        "      proxy_set_header X-Real-IP $remote_addr;\n"
        "    }\n"
        "  }\n"
        "}\n")


@unittest.skipUnless(os.access(NGINX, os.X_OK) and os.access(GUNICORN, os.X_OK),
                     "nginx and gunicorn are not installed (scripts/setup.sh installs them)")
class DeployedTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls._tmp = tempfile.TemporaryDirectory(prefix="vantor-deployed-")
        cls.addClassCleanup(cls._tmp.cleanup)
        prefix = cls._tmp.name
        cls.data = os.path.join(prefix, "data")
        cls.feed = os.path.join(prefix, "feed")
        os.makedirs(os.path.join(cls.feed, "stable"))
        cls.latest = b'{"game": {"version": "2.0.0", "build": 7}}'
        with open(os.path.join(cls.feed, "stable", "latest.json"), "wb") as f:
            f.write(cls.latest)
        with open(os.path.join(prefix, "nginx.conf"), "w") as f:
            f.write(nginx_config(prefix, cls.feed))
        cls.socket = os.path.join(prefix, "nginx.sock")
        cls.logs = [os.path.join(prefix, "gunicorn.log"), os.path.join(prefix, "nginx-error.log")]

        env = dict(os.environ, VANTOR_SERVER_DATA=cls.data, VANTOR_SERVER_TRUST_PROXY="1",
                   VANTOR_SERVER_NAME="Deployed", VANTOR_SERVER_ADDRESS="play.example:3000",
                   PYTHONDONTWRITEBYTECODE="1")
        # No --preload: every worker opens the new database at the same moment,
        # which is part of what this test checks.
        cls.gunicorn = ts.start_child(
            [GUNICORN, "--bind", f"unix:{prefix}/api.sock", "--workers", str(WORKERS),
             "--pythonpath", ts.HERE, "--graceful-timeout", "3", "--error-logfile", cls.logs[0],
             "vantor_server.wsgi:application"],
            env=env, stdout=ts.subprocess.DEVNULL, stderr=ts.subprocess.DEVNULL)
        cls.addClassCleanup(ts.stop_child, cls.gunicorn)
        cls.nginx = ts.start_child([NGINX, "-p", prefix + "/", "-c", os.path.join(prefix, "nginx.conf"),
                                    "-e", cls.logs[1]],
                                   stdout=ts.subprocess.DEVNULL, stderr=ts.subprocess.DEVNULL)
        cls.addClassCleanup(ts.stop_child, cls.nginx)

        deadline = time.monotonic() + 60
        while True:
            for process, name in ((cls.gunicorn, "gunicorn"), (cls.nginx, "nginx")):
                if process.poll() is not None:
                    raise RuntimeError(f"{name} ended at start:\n{cls.log_tail()}")
            try:
                if ts.http_request(cls.socket, "GET", "/api/status").status == 200:
                    break
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError(f"the server did not answer within 60 s:\n{cls.log_tail()}")
            time.sleep(0.05)

    @classmethod
    def log_tail(cls):
        out = []
        for path in cls.logs:
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    out.append(f"--- {path}\n{f.read()[-3000:]}")
        return "\n".join(out)

    def request(self, method, path, body=None, token=None, raw=None, headers=None):
        all_headers = dict(headers or {})
        if token:
            all_headers["Authorization"] = f"Bearer {token}"
        return ts.http_request(self.socket, method, path, body=body, raw=raw, headers=all_headers)

    def create(self, username, ref="", expect=200):
        answer = self.request("POST", "/api/account/create",
                              {"username": username, "password": "correct horse", "ref": ref})
        self.assertEqual(answer.status, expect, f"{answer}\n{self.log_tail()}")
        return answer

    def test_nginx_serves_the_feed_and_passes_the_api_on(self):
        answer = self.request("GET", "/stable/latest.json")
        self.assertEqual((answer.status, answer.body), (200, self.latest))
        self.assertIn("nginx", answer.headers.get("server", ""))
        status = self.request("GET", "/api/status")
        self.assertEqual(status.json(), {"name": "Deployed", "address": "play.example:3000",
                                         "maxPlayers": 64, "playerCount": 0})
        self.assertEqual(self.request("GET", "/api/nothing").status, 404)

    def test_an_account_from_creation_to_sign_out(self):
        created = self.create("Deckhand").json()
        self.assertEqual(self.create("DECKHAND", expect=409).error, "That pilot name is taken. Pick another one.")
        wrong = self.request("POST", "/api/account/signin", {"username": "Deckhand", "password": "wrong pass"})
        self.assertEqual((wrong.status, wrong.error), (401, "Wrong pilot name or password."))
        signed_in = self.request("POST", "/api/account/signin", {"username": "deckhand", "password": "correct horse"})
        self.assertEqual(signed_in.status, 200, signed_in)
        self.assertEqual(signed_in.json()["profile"]["username"], "Deckhand")
        token = signed_in.json()["token"]
        self.assertEqual(self.request("GET", "/api/account/me", token=token).json()["profile"], created["profile"])
        self.assertEqual(self.request("POST", "/api/account/signout", raw=b"{}", token=token).status, 200)
        self.assertEqual(self.request("GET", "/api/account/me", token=token).status, 401)
        self.assertEqual(self.request("GET", "/api/account/me", token=created["token"]).status, 200)
        self.assertEqual(self.request("GET", "/api/account/me", token="f" * 64).status, 401)
        stored = ts.database_bytes(self.data)
        self.assertNotIn(token.encode(), stored)
        self.assertNotIn(created["token"].encode(), stored)

    def test_bad_requests_get_json_errors_through_nginx(self):
        too_big = b'{"username": "' + b"x" * (16 * 1024) + b'"}'
        answer = self.request("POST", "/api/account/signin", raw=too_big)
        self.assertEqual((answer.status, answer.error), (413, "That request is too large."))
        answer = self.request("POST", "/api/account/signin", raw=b"{not json")
        self.assertEqual((answer.status, answer.error), (400, "The request is not valid JSON."))
        answer = self.request("POST", "/api/account/create", raw=json.dumps({"username": 1, "password": 2}).encode())
        self.assertEqual((answer.status, answer.error), (400, '"username" must be text.'))

    def test_concurrent_requests_across_workers_keep_counts_exact(self):
        owner = self.create("Recruiter").json()
        code = owner["profile"]["referralCode"]

        def create(name):
            return name, self.request("POST", "/api/account/create",
                                      {"username": name, "password": "correct horse", "ref": code}).status

        def install(_):
            answer = self.request("POST", "/api/event", {"event": "install", "ref": code, "version": "1.0.0"})
            return answer.status, answer.json().get("credited")

        names = [f"Recruit{i}" for i in range(16)] + ["Twin"] * 6
        with concurrent.futures.ThreadPoolExecutor(max_workers=12) as pool:
            created = list(pool.map(create, names))
            installs = list(pool.map(install, range(12)))
        self.assertEqual([s for n, s in created if n.startswith("Recruit")], [200] * 16, self.log_tail())
        self.assertEqual(sorted(s for n, s in created if n == "Twin"), [200] + [409] * 5)
        # Every event came through nginx from one address: one credit only.
        self.assertEqual(sorted(installs), [(200, False)] * 11 + [(200, True)])
        profile = self.request("GET", "/api/account/me", token=owner["token"]).json()["profile"]
        self.assertEqual((profile["invited"], profile["installs"]), (17, 1))
        self.assertEqual(ts.database_rows(self.data, "SELECT COUNT(*) FROM events WHERE ref = ?", (code,)), [(12,)])


if __name__ == "__main__":
    unittest.main()
