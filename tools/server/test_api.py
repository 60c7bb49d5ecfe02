#!/usr/bin/env python3
"""The JSON API called in-process through WSGI (wsgiref's validator checks
every exchange), with a clock the tests move, on SQLite and on PostgreSQL."""

import contextlib
import io
import json
import re
import sqlite3
import threading
import unittest
from contextlib import redirect_stderr
from unittest import mock

import testing_support as ts
from vantor_server import api, backends, http_util, limits, store
from vantor_server.config import ConfigError

HEX64 = re.compile(r"[0-9a-f]{64}")


class ApiTest(ts.BackendTest):
    # These tests make more accounts from one address than players do; the
    # limits have tests of their own (test_limits).
    settings = {"limits": limits.parse("create-network=1000/3600")}

    def setUp(self):
        super().setUp()
        self.server = self.new_server()

    def create(self, username="Pilot", password="correct horse", ref="", expect=200, **kwargs):
        answer = self.server.post("/api/account/create",
                                  {"username": username, "password": password, "ref": ref}, **kwargs)
        self.assertEqual(answer.status, expect, answer)
        return answer

    def sign_in(self, username="Pilot", password="correct horse", expect=200):
        answer = self.server.post("/api/account/signin", {"username": username, "password": password})
        self.assertEqual(answer.status, expect, answer)
        return answer

    def me(self, token, expect=200):
        answer = self.server.get("/api/account/me", token=token)
        self.assertEqual(answer.status, expect, answer)
        return answer

    def event(self, ref, remote="192.0.2.10", name="install", headers=None):
        answer = self.server.post("/api/event", {"event": name, "ref": ref, "version": "1.0.0"},
                                  remote=remote, headers=headers)
        self.assertEqual(answer.status, 200, answer)
        return answer.json()["credited"]

    # --- status

    def test_status_has_the_members_the_launcher_reads(self):
        answer = self.server.get("/api/status")
        self.assertEqual(answer.status, 200)
        self.assertTrue(answer.headers["content-type"].startswith("application/json"))
        self.assertEqual(answer.json(), {"name": "Vantor reference server", "playerCount": 0,
                                         "maxPlayers": 64, "address": "127.0.0.1:3000"})

    def test_status_is_configurable_and_leaves_out_an_empty_address(self):
        server = self.new_server(self.new_database(), name="Kestrel", address="", max_players=12, player_count=5)
        self.assertEqual(server.get("/api/status").json(), {"name": "Kestrel", "playerCount": 5, "maxPlayers": 12})
        server = self.new_server(self.new_database(), address="[::1]:7777")
        self.assertEqual(server.get("/api/status").json()["address"], "[::1]:7777")

    def test_status_address_must_be_host_and_port(self):
        for bad in ("localhost", "host:0", "host:65536", "host:x", "a b:3000", ":3000", "user@host:3000"):
            with self.subTest(address=bad), self.assertRaises(ConfigError):
                ts.Config(data_dir=self.tmp, address=bad)

    # --- create and sign in

    def test_create_signs_in_with_a_64_digit_token_and_a_profile(self):
        answer = self.create("Pilot")
        body = answer.json()
        self.assertRegex(body["token"], HEX64)
        self.assertEqual(set(body["profile"]), {"username", "referralCode", "invited", "installs"})
        self.assertEqual(body["profile"]["username"], "Pilot")
        self.assertRegex(body["profile"]["referralCode"], r"[A-Z2-9]{8}")
        self.assertEqual(body["profile"]["invited"], 0)
        self.assertEqual(self.me(body["token"]).json(), {"profile": body["profile"]})

    def test_duplicate_name_is_refused_in_any_letter_case(self):
        self.create("Pilot")
        for name in ("Pilot", "pilot", "PILOT"):
            with self.subTest(name=name):
                answer = self.create(name, expect=409)
                self.assertEqual(answer.error, api.NAME_TAKEN)
        self.assertEqual(self.rows("SELECT COUNT(*) FROM accounts"), [(1,)])

    def test_wrong_password_and_unknown_name_get_the_same_refusal(self):
        self.create("Pilot", "correct horse")
        wrong = self.sign_in("Pilot", "correct horsf", expect=401)
        unknown = self.sign_in("Nobody", "correct horse", expect=401)
        invalid_name = self.sign_in("no", "correct horse", expect=401)
        for answer in (wrong, unknown, invalid_name):
            self.assertEqual(answer.json(), {"error": api.WRONG_SIGN_IN})

    def test_sign_in_in_another_letter_case_gets_the_account_name(self):
        self.create("Pilot")
        body = self.sign_in("pILOT").json()
        self.assertEqual(body["profile"]["username"], "Pilot")
        self.assertRegex(body["token"], HEX64)

    def test_each_sign_in_gets_its_own_token(self):
        first = self.create().json()["token"]
        second = self.sign_in().json()["token"]
        self.assertNotEqual(first, second)
        self.me(first)
        self.me(second)

    def test_empty_sign_in_fields_ask_for_both(self):
        for username, password in (("", "x"), ("Pilot", ""), ("", "")):
            with self.subTest(username=username, password=password):
                self.assertEqual(self.sign_in(username, password, expect=400).error, api.MISSING_SIGN_IN)

    def test_pilot_name_and_password_rules(self):
        cases = [
            # (username, password, expected status, expected error)
            ("abc", "12345678", 200, None),
            ("A-b_" + "c" * 16, "12345678", 200, None),  # 20 characters
            ("ab", "12345678", 400, api.USERNAME_RULE),
            ("a" * 21, "12345678", 400, api.USERNAME_RULE),
            ("two words", "12345678", 400, api.USERNAME_RULE),
            (" spaced", "12345678", 400, api.USERNAME_RULE),
            ("pilot.one", "12345678", 400, api.USERNAME_RULE),
            ("pïlot", "12345678", 400, api.USERNAME_RULE),
            ("pilot\n", "12345678", 400, api.USERNAME_RULE),
            ("Seven7", "1234567", 400, api.PASSWORD_TOO_SHORT),
            ("Eight8", "\U0001F680" * 4, 200, None),  # 8 UTF-16 units, as the page counts
            ("Long200", "p" * 200, 200, None),
            ("Long201", "p" * 201, 400, api.PASSWORD_TOO_LONG),
        ]
        for username, password, status, error in cases:
            with self.subTest(username=username, password=len(password)):
                answer = self.create(username, password, expect=status)
                if error:
                    self.assertEqual(answer.error, error)
                else:
                    self.assertEqual(self.sign_in(username, password).json()["profile"]["username"], username)

    # --- malformed requests

    def test_malformed_and_mistyped_requests_are_refused_with_json_errors(self):
        good = {"username": "Pilot", "password": "correct horse", "ref": ""}
        cases = [
            # (path, raw body, content type, status, error text or None for "any")
            ("/api/account/create", b"", "application/json", 400, "The request is not valid JSON."),
            ("/api/account/create", b"{", "application/json", 400, "The request is not valid JSON."),
            ("/api/account/create", b"\xff\xfe{}", "application/json", 400, "The request is not valid JSON."),
            ("/api/account/create", b'{"username": NaN}', "application/json", 400, "The request is not valid JSON."),
            ("/api/account/create", b"[" * 5000 + b"]" * 5000, "application/json", 400,
             "The request is not valid JSON."),
            ("/api/account/create", b"[]", "application/json", 400, "The request must be a JSON object."),
            ("/api/account/create", b'"text"', "application/json", 400, "The request must be a JSON object."),
            ("/api/account/create", b"null", "application/json", 400, "The request must be a JSON object."),
            ("/api/account/create", json.dumps(good).encode(), "text/plain", 415, None),
            ("/api/account/create", json.dumps(good).encode(), None, 415, None),
            ("/api/account/create", json.dumps({**good, "username": 5}).encode(), "application/json", 400,
             '"username" must be text.'),
            ("/api/account/create", json.dumps({**good, "username": None}).encode(), "application/json", 400,
             '"username" must be text.'),
            ("/api/account/create", json.dumps({**good, "password": ["x"]}).encode(), "application/json", 400,
             '"password" must be text.'),
            ("/api/account/create", json.dumps({**good, "ref": 7}).encode(), "application/json", 400,
             '"ref" must be text.'),
            ("/api/account/create", b'{"username": "Pilot", "password": "\\ud800\\ud800abcdefgh", "ref": ""}',
             "application/json", 400, '"password" is not valid text.'),
            ("/api/account/create", json.dumps({"password": "correct horse"}).encode(), "application/json", 400,
             'The request has no "username".'),
            ("/api/account/signin", json.dumps({"username": "Pilot"}).encode(), "application/json", 400,
             'The request has no "password".'),
            ("/api/account/signin", json.dumps({"username": {}, "password": "x"}).encode(), "application/json", 400,
             '"username" must be text.'),
            ("/api/account/signout", b"[1]", "application/json", 400, "The request must be a JSON object."),
            ("/api/event", json.dumps({"ref": "", "version": "1.0.0"}).encode(), "application/json", 400,
             'The request has no "event".'),
            ("/api/event", json.dumps({"event": 1}).encode(), "application/json", 400, '"event" must be text.'),
            ("/api/event", json.dumps({"event": "install", "ref": False}).encode(), "application/json", 400,
             '"ref" must be text.'),
            ("/api/event", json.dumps({"event": "install", "version": 1.0}).encode(), "application/json", 400,
             '"version" must be text.'),
            ("/api/event", json.dumps({"event": "Install!"}).encode(), "application/json", 400,
             "That is not an event name."),
            ("/api/event", json.dumps({"event": "install", "ref": "r" * 257}).encode(), "application/json", 400,
             '"ref" is too long.'),
        ]
        for path, raw, content_type, status, error in cases:
            with self.subTest(path=path, body=raw[:60], content_type=content_type):
                answer = self.server.post(path, raw=raw, content_type=content_type)
                self.assertEqual(answer.status, status, answer)
                self.assertTrue(answer.headers["content-type"].startswith("application/json"))
                self.assertIsInstance(answer.error, str)
                self.assertTrue(answer.error)
                if error is not None:
                    self.assertEqual(answer.error, error)
        self.assertEqual(self.rows("SELECT COUNT(*) FROM accounts"), [(0,)])
        self.assertEqual(self.rows("SELECT COUNT(*) FROM events"), [(0,)])

    def test_unknown_members_are_ignored_and_a_missing_ref_is_no_referral(self):
        answer = self.server.post("/api/account/create",
                                  {"username": "Pilot", "password": "correct horse", "extra": [1, 2]})
        self.assertEqual(answer.status, 200, answer)

    def test_unknown_paths_and_methods(self):
        answer = self.server.get("/api/nothing")
        self.assertEqual((answer.status, answer.error), (404, api.NOT_FOUND))
        answer = self.server.get("/api/account/signin")
        self.assertEqual(answer.status, 405)
        self.assertEqual(answer.headers["allow"], "POST")
        answer = self.server.post("/api/status", {})
        self.assertEqual((answer.status, answer.headers["allow"]), (405, "GET"))
        # Without a feed folder, nothing outside /api/ is served.
        self.assertEqual(self.server.get("/stable/latest.json").status, 404)

    # --- body size

    def test_oversized_bodies_are_refused_before_they_are_parsed(self):
        limit = http_util.MAX_BODY
        fits = json.dumps({"username": "Pilot", "password": "correct horse", "ref": ""}).encode()
        fits += b" " * (limit - len(fits))
        self.assertEqual(len(fits), limit)
        self.assertEqual(self.server.post("/api/account/create", raw=fits).status, 200)

        too_big = fits + b" "
        for path in ("/api/account/create", "/api/account/signin", "/api/account/signout", "/api/event"):
            with self.subTest(path=path):
                answer = self.server.post(path, raw=too_big)
                self.assertEqual((answer.status, answer.error), (413, "That request is too large."))

    def test_a_huge_declared_length_is_refused_without_reading(self):
        class Unreadable(io.RawIOBase):
            def read(self, *args):
                raise AssertionError("the body was read")

            readline = readlines = read

            def __iter__(self):
                raise AssertionError("the body was read")

        answer = self.server.post("/api/account/create", raw=b"",
                                  extra_environ={"CONTENT_LENGTH": str(10 ** 10), "wsgi.input": Unreadable()})
        self.assertEqual(answer.status, 413)

    def test_lengths_that_cannot_be_trusted(self):
        body = json.dumps({"username": "Pilot", "password": "correct horse"}).encode()
        cases = [
            ({"CONTENT_LENGTH": "-1"}, 400, "The request's length is unreadable."),
            ({"CONTENT_LENGTH": "12abc"}, 400, "The request's length is unreadable."),
            ({"CONTENT_LENGTH": str(len(body) + 10)}, 400, "The request ended early."),
            # A chunked body with no server to end it cannot be read safely.
            ({"CONTENT_LENGTH": None, "HTTP_TRANSFER_ENCODING": "chunked"}, 411, "Send the request's length."),
        ]
        for environ, status, error in cases:
            with self.subTest(environ=environ):
                answer = self.server.post("/api/account/signin", raw=body, extra_environ=environ, validate=False)
                self.assertEqual((answer.status, answer.error), (status, error))

    def test_chunked_bodies_are_capped_when_the_server_ends_them(self):
        big = b'{"event": "install", "ref": "' + b"x" * (http_util.MAX_BODY + 10) + b'"}'
        environ = {"CONTENT_LENGTH": None, "HTTP_TRANSFER_ENCODING": "chunked", "wsgi.input_terminated": True}
        answer = self.server.post("/api/event", raw=big, extra_environ=environ)
        self.assertEqual(answer.status, 413)
        small = json.dumps({"event": "install", "ref": "", "version": "1.0.0"}).encode()
        answer = self.server.post("/api/event", raw=small, extra_environ=environ)
        self.assertEqual(answer.status, 200, answer)

    # --- tokens

    def test_unknown_malformed_revoked_and_expired_tokens_get_401(self):
        token = self.create().json()["token"]
        other = self.sign_in().json()["token"]
        for bad in ("", "0" * 64, token.upper(), token[:63], token + "0", "not a token at all"):
            with self.subTest(token=bad):
                answer = self.me(bad, expect=401)
                self.assertIn("Bearer", answer.headers["www-authenticate"])
                self.assertTrue(answer.error)
        self.assertEqual(self.server.get("/api/account/me").status, 401)  # no header at all
        self.assertEqual(self.server.get("/api/account/me",
                                         extra_environ={"HTTP_AUTHORIZATION": "Basic " + token}).status, 401)

        answer = self.server.post("/api/account/signout", raw=b"{}", token=token)
        self.assertEqual((answer.status, answer.json()), (200, {"ok": True}))
        self.assertEqual(self.me(token, expect=401).error, api.SIGN_IN_ENDED)
        # Revoking one sign-in leaves the account's other sign-ins alone.
        self.me(other)
        # A second sign-out of the same token has nothing left to end.
        self.assertEqual(self.server.post("/api/account/signout", raw=b"{}", token=token).status, 401)
        self.assertEqual(self.server.post("/api/account/signout", raw=b"{}").status, 401)

        # Expiry: valid until its lifetime has passed, not a second longer.
        self.clock.now += ts.Config(data_dir=self.tmp).token_lifetime - 1
        self.me(other)
        self.clock.now += 1
        self.assertEqual(self.me(other, expect=401).error, api.SIGN_IN_ENDED)
        self.assertEqual(self.server.post("/api/account/signout", raw=b"{}", token=other).status, 401)

    def test_sign_out_accepts_an_empty_body(self):
        token = self.create().json()["token"]
        self.assertEqual(self.server.post("/api/account/signout", raw=b"", token=token).status, 200)
        self.me(token, expect=401)

    def test_tokens_and_passwords_never_reach_the_disk_in_clear(self):
        tokens = [self.create("Pilot", "correct horse").json()["token"],
                  self.sign_in("Pilot", "correct horse").json()["token"],
                  self.create("Wing", "correct horse").json()["token"]]
        stored = self.stored_bytes()
        for token in tokens:
            self.assertNotIn(token.encode(), stored)
            self.assertNotIn(token.upper().encode(), stored)
            self.assertNotIn(bytes.fromhex(token), stored)
        self.assertNotIn(b"correct horse", stored)
        # What is kept instead: the tokens' digests and salted scrypt hashes.
        from vantor_server import credentials
        digests = {row[0] for row in self.rows("SELECT digest FROM tokens")}
        self.assertEqual(digests, {credentials.token_digest(t) for t in tokens})
        hashes = [row[0] for row in self.rows("SELECT password FROM accounts")]
        self.assertEqual(len(hashes), 2)
        self.assertNotEqual(hashes[0], hashes[1])  # same password, different salt
        for stored_hash in hashes:
            self.assertRegex(stored_hash, rf"^scrypt\${ts.FAST_SCRYPT_N}\$8\$1\$[0-9a-f]{{32}}\$[0-9a-f]{{64}}$")

    def test_expired_tokens_are_purged_when_new_ones_are_issued(self):
        self.create("Pilot")
        self.clock.now += ts.Config(data_dir=self.tmp).token_lifetime
        self.sign_in("Pilot")
        self.assertEqual(self.rows("SELECT COUNT(*) FROM tokens"), [(1,)])

    # --- referrals and installs

    def test_referral_code_counts_the_accounts_created_with_it(self):
        owner = self.create("Owner").json()
        code = owner["profile"]["referralCode"]
        self.create("Friend1", ref=code)
        self.create("Friend2", ref=code.lower())  # a link typed by hand
        self.create("Friend3", ref=f"  {code} ")
        self.create("Stranger", ref="NOSUCHCODE")  # unknown: created, nobody credited
        self.create("Nobody", ref="")
        self.create("Junk", ref="x" * 500)  # not a code: still created
        self.create("Taken", ref=code)
        self.create("taken", ref=code, expect=409)  # a refused account credits nothing
        self.assertEqual(self.me(owner["token"]).json()["profile"]["invited"], 4)
        friend = self.sign_in("Friend1").json()
        self.assertEqual(friend["profile"]["invited"], 0)
        codes = [row[0] for row in self.rows("SELECT referral_code FROM accounts")]
        self.assertEqual(len(codes), len(set(codes)))

    def test_install_event_is_recorded_and_credited_once_per_client(self):
        owner = self.create("Owner").json()
        code = owner["profile"]["referralCode"]
        self.assertTrue(self.event(code, remote="192.0.2.1"))
        # The same install reporting again (a page reload, a second first run,
        # a replayed request) earns nothing more.
        self.assertFalse(self.event(code, remote="192.0.2.1"))
        self.assertFalse(self.event(code.lower(), remote="192.0.2.1"))
        self.assertTrue(self.event(code, remote="198.51.100.7"))
        self.assertFalse(self.event("NOSUCHCODE", remote="192.0.2.99"))
        self.assertFalse(self.event("", remote="192.0.2.98"))
        self.assertFalse(self.event(code, remote="192.0.2.97", name="launch"))  # only installs credit
        self.assertEqual(self.me(owner["token"]).json()["profile"]["installs"], 2)
        self.assertEqual(self.me(owner["token"]).json()["profile"]["invited"], 0)
        rows = self.rows("SELECT name, ref, version, credited FROM events ORDER BY id")
        self.assertEqual(len(rows), 7)  # every event is kept, credited or not
        self.assertEqual(rows[0], ("install", code, "1.0.0", 1))
        self.assertEqual(rows[1], ("install", code, "1.0.0", 0))

    def test_forwarded_address_is_trusted_only_when_configured(self):
        header = {"X-Real-IP": "203.0.113.5"}
        owner = self.create("Owner").json()
        code = owner["profile"]["referralCode"]
        # Not behind our proxy: a client cannot pick new addresses to farm credits.
        self.assertTrue(self.event(code, remote="192.0.2.1", headers={"X-Real-IP": "203.0.113.5"}))
        self.assertFalse(self.event(code, remote="192.0.2.1", headers={"X-Real-IP": "203.0.113.6"}))

        # Behind the proxy, on its Unix socket (gunicorn gives such a peer an
        # empty address): the header names the client.
        proxied = self.new_server(trust_proxy=True)
        self.server = proxied
        self.assertTrue(self.event(code, remote="", headers=header))
        self.assertFalse(self.event(code, remote="", headers=header))
        self.assertTrue(self.event(code, remote="", headers={"X-Real-IP": "203.0.113.6"}))

    # --- failures inside the server

    def test_an_internal_failure_is_a_json_500_and_the_trace_goes_to_stderr(self):
        errors = io.StringIO()
        with mock.patch.object(store.Session, "profile", side_effect=KeyError("secret detail")), \
                redirect_stderr(errors):
            answer = self.create("Pilot", expect=500)
        self.assertEqual(answer.json(), {"error": http_util.SERVER_FAULT})
        self.assertNotIn(b"Traceback", answer.body)
        self.assertNotIn(b"secret detail", answer.body)
        self.assertIn("Traceback", errors.getvalue())
        self.assertIn("POST /api/account/create", errors.getvalue())

    @contextlib.contextmanager
    def another_writer(self):
        """Another connection holding the write lock a sign-in needs."""
        if self.backend == "sqlite":
            blocker = sqlite3.connect(ts.os.path.join(self.database, "server.db"), isolation_level=None)
            blocker.execute("BEGIN IMMEDIATE")
        else:
            import psycopg2
            blocker = psycopg2.connect(self.database)
            blocker.cursor().execute("LOCK TABLE rate_limits IN ACCESS EXCLUSIVE MODE")
        try:
            yield
        finally:
            blocker.rollback()
            blocker.close()

    def test_a_locked_database_answers_503_after_the_busy_timeout(self):
        self.create("Pilot")
        with self.another_writer(), mock.patch.object(backends, "BUSY_TIMEOUT", 0.2), \
                redirect_stderr(io.StringIO()) as errors:
            answer = self.server.post("/api/account/signin", {"username": "Pilot", "password": "correct horse"})
        self.assertEqual((answer.status, answer.error), (503, http_util.SERVER_BUSY))
        self.assertEqual(answer.headers["retry-after"], "1")
        self.assertIn("busy", errors.getvalue())
        self.sign_in("Pilot")

    def test_concurrent_creates_of_one_name_make_one_account(self):
        owner = self.create("Owner").json()
        code = owner["profile"]["referralCode"]
        results = []
        lock = threading.Lock()

        def attempt(name):
            answer = self.server.post("/api/account/create",
                                      {"username": name, "password": "correct horse", "ref": code})
            with lock:
                results.append((name, answer.status))

        names = ["Racer"] * 4 + ["racer"] * 2 + [f"Other{i}" for i in range(4)]
        threads = [threading.Thread(target=attempt, args=(name,)) for name in names]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        racer = [status for name, status in results if name.lower() == "racer"]
        self.assertEqual(sorted(racer), [200] + [409] * 5, results)
        self.assertEqual([status for name, status in results if name.startswith("Other")], [200] * 4)
        self.assertEqual(self.me(owner["token"]).json()["profile"]["invited"], 5)


PostgresApiTest = ts.on_postgres(ApiTest)


if __name__ == "__main__":
    unittest.main()
