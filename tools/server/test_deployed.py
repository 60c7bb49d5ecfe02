#!/usr/bin/env python3
"""The server as deployed: the WSGI application under real gunicorn with
several worker processes sharing one database (SQLite, and again
PostgreSQL), behind nginx, which serves the feed's files itself and passes
/api/ on. Both listen on Unix sockets in the test's folder, so no port can
be taken by anyone else. Passwords are hashed at the real cost here."""

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
# More accounts from one client than the default allows (the concurrency
# test makes 23), and a small limit the limits test reaches (above the
# concurrency test's 12 installs naming one code).
EVENTS_PER_REF = 13
LIMITS = f"create-network=1000/3600,event-referrer={EVENTS_PER_REF}/3600"
LIMITED_REF = "LIMITED1"
# Seconds nginx waits for an answer, and the test for nginx's.
NGINX_READ_TIMEOUT = 180


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
        f"      proxy_read_timeout {NGINX_READ_TIMEOUT}s;\n"
        "    }\n"
        "  }\n"
        "}\n")


@unittest.skipUnless(os.access(NGINX, os.X_OK) and os.access(GUNICORN, os.X_OK),
                     "nginx and gunicorn are not installed (scripts/setup.sh installs them)")
class DeployedTest(unittest.TestCase):
    backend = "sqlite"

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

        env = {k: v for k, v in os.environ.items() if not k.startswith("VANTOR_SERVER_")}
        env.update(VANTOR_SERVER_DATA=cls.data, VANTOR_SERVER_TRUST_PROXY="1",
                   VANTOR_SERVER_NAME="Deployed", VANTOR_SERVER_ADDRESS="play.example:3000",
                   VANTOR_SERVER_LIMITS=LIMITS, PYTHONDONTWRITEBYTECODE="1")
        cls.database = cls.data
        if cls.backend == "postgresql":
            cls.database = ts.postgres().new_database()
            env["VANTOR_SERVER_DATABASE"] = cls.database
        # No --preload: every worker opens the new database at the same moment,
        # which is part of what this test checks.
        cls.gunicorn = ts.start_child(
            [GUNICORN, "--bind", f"unix:{prefix}/api.sock", "--workers", str(WORKERS),
             "--pythonpath", ts.HERE, "--graceful-timeout", "3", "--error-logfile", cls.logs[0],
             "vantor_server.wsgi:application"],
            env=env, stdout=ts.subprocess.DEVNULL, stderr=ts.subprocess.DEVNULL)
        cls.addClassCleanup(ts.stop_child, cls.gunicorn)
        cls.addClassCleanup(cls.report_worker_memory)
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
    def report_worker_memory(cls):
        # Not a check (a figure for people): each worker's peak resident
        # memory, which a password hash raises by its 128 MiB.
        peaks = []
        for pid in cls.worker_pids():
            try:
                with open(f"/proc/{pid}/status") as f:
                    fields = dict(line.split(":", 1) for line in f if ":" in line)
                peaks.append(f"{pid}: peak {fields['VmHWM'].strip()}, now {fields['VmRSS'].strip()}")
            except (OSError, KeyError):
                pass
        print(f"\n{cls.__name__} gunicorn workers: " + "; ".join(peaks), file=sys.stderr)

    @classmethod
    def worker_pids(cls):
        try:
            with open(f"/proc/{cls.gunicorn.pid}/task/{cls.gunicorn.pid}/children") as f:
                return [int(pid) for pid in f.read().split()]
        except OSError:
            return []

    @classmethod
    def log_tail(cls):
        out = []
        for path in cls.logs:
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    out.append(f"--- {path}\n{f.read()[-3000:]}")
        return "\n".join(out)

    def request(self, method, path, body=None, token=None, raw=None, headers=None, timeout=30):
        all_headers = dict(headers or {})
        if token:
            all_headers["Authorization"] = f"Bearer {token}"
        return ts.http_request(self.socket, method, path, body=body, raw=raw, headers=all_headers, timeout=timeout)

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
        stored = self.stored_bytes()
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
            # Each new account costs a worker about a second of scrypt (more
            # on a busy machine), and three workers take 22 of them in turn.
            return name, self.request("POST", "/api/account/create",
                                      {"username": name, "password": "correct horse", "ref": code},
                                      timeout=NGINX_READ_TIMEOUT).status

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
        self.assertEqual(ts.rows(self.database, "SELECT COUNT(*) FROM events WHERE ref = ?", (code,)), [(12,)])

    def stored_bytes(self):
        if self.backend == "sqlite":
            return ts.database_bytes(self.data)
        return ts.postgres_stored_bytes(self.database)

    def test_client_sent_address_headers_are_replaced_by_nginx(self):
        # nginx sets X-Real-IP to the connection's address ("unix:" on a
        # Unix socket), replacing the client's; X-Forwarded-For is never read.
        forged = {"X-Real-IP": "203.0.113.77", "X-Forwarded-For": "203.0.113.78"}
        answer = self.request("POST", "/api/event", {"event": "forged.header", "ref": "", "version": "1.0.0"},
                              headers=forged)
        self.assertEqual(answer.status, 200, answer)
        self.assertEqual(ts.rows(self.database, "SELECT client FROM events WHERE name = 'forged.header'"),
                         [("unix:",)])

    def test_limits_hold_across_workers(self):
        # The limit's state lives in the database: whichever worker takes a
        # request, exactly the allowed number pass, however they interleave.
        def event(_):
            answer = self.request("POST", "/api/event", {"event": "install", "ref": LIMITED_REF, "version": "1"})
            return answer.status, answer.headers.get("retry-after"), answer.error

        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            answers = list(pool.map(event, range(EVENTS_PER_REF + 7)))
        passed = [a for a in answers if a[0] == 200]
        refused = [a for a in answers if a[0] == 429]
        self.assertEqual((len(passed), len(refused)), (EVENTS_PER_REF, 7), answers)
        for status, retry_after, error in refused:
            # One request's allowance comes back every 3600 / 13 = 277 s.
            self.assertTrue(retry_after.isdigit() and 260 <= int(retry_after) <= 277, retry_after)
            self.assertEqual(error, "Too many events. Try again in 5 minutes.")
        self.assertEqual(ts.rows(self.database, "SELECT COUNT(*) FROM events WHERE ref = ?", (LIMITED_REF,)),
                         [(EVENTS_PER_REF,)])


PostgresDeployedTest = ts.on_postgres(DeployedTest)


if __name__ == "__main__":
    unittest.main()
