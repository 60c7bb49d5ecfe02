"""What the server keeps: accounts, sign-in tokens (as digests only), usage
events, install credits and rate-limit state, in SQLite or PostgreSQL
(backends.py). Every request opens its own session and closes it when done;
every change is one transaction."""

import contextlib
import time

from . import credentials, limits
from .backends import open_backend
from .network import network_of

# Longest "ref" looked up; anything longer cannot be a code of ours.
MAX_REF_LOOKUP = 64
# Seconds between sweeps of rate-limit rows whose allowance is full again.
_SWEEP_EVERY = 60


class NameTaken(Exception):
    """Another account already has this pilot name (in any letter case)."""


def normalise_ref(ref):
    """The referral code a "ref" text names, or "" when it cannot name one.
    Codes are upper case; links typed by hand may not be."""
    ref = ref.strip()
    if not ref or len(ref) > MAX_REF_LOOKUP:
        return ""
    return ref.upper()


def _migrate_credits(conn):
    # Credits were once kept per client address; they are now per client
    # network (an IPv6 /64 is one client). Addresses of one network become
    # one credit.
    rows = conn.execute("SELECT account_id, client, at FROM install_credits").fetchall()
    for account_id, client, at in rows:
        network = network_of(client)
        if network != client:
            conn.execute("DELETE FROM install_credits WHERE account_id = ? AND client = ?", (account_id, client))
            conn.execute("INSERT INTO install_credits (account_id, client, at) VALUES (?, ?, ?)"
                         " ON CONFLICT DO NOTHING", (account_id, network, at))


class Store:
    def __init__(self, config, clock=time.time):
        self.backend = open_backend(config)
        self.clock = clock
        self.max_events = config.max_events
        self._next_sweep = 0.0

    def is_busy(self, error):
        """True for the errors that mean "locked or unreachable for now"."""
        return self.backend.is_busy(error)

    def initialise(self):
        self.backend.initialise(_migrate_credits)

    @contextlib.contextmanager
    def session(self):
        """One connection for one request, closed at the end whatever happens."""
        conn = self.backend.connect()
        try:
            yield Session(self, conn, self.clock())
        finally:
            self.backend.release(conn)


class Session:
    def __init__(self, store, conn, now):
        self.store = store
        self.backend = store.backend
        self.conn = conn
        self.precise_now = now
        self.now = int(now)

    @contextlib.contextmanager
    def _write(self):
        self.backend.begin_write(self.conn)
        try:
            yield
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise
        self.conn.execute("COMMIT")

    def _account_by_code(self, code):
        row = self.conn.execute("SELECT id FROM accounts WHERE referral_code = ?", (code,)).fetchone()
        return row[0] if row else None

    # --- rate limits

    def take(self, wanted):
        """One request against the limits `wanted` ([(key, Limit)]): all or
        nothing. Returns 0 when allowed (and counted), else the seconds until
        it would be."""
        if not wanted:
            return 0
        keys = [key for key, _ in wanted]
        with self._write():
            self.backend.lock_keys(self.conn, keys)
            self._sweep()
            stored = dict(self.conn.execute(
                f"SELECT key, full_at FROM rate_limits WHERE key IN ({', '.join('?' * len(keys))})",
                keys).fetchall())
            allowed, result = limits.decide([(limit, stored.get(key)) for key, limit in wanted], self.precise_now)
            if not allowed:
                return result
            for (key, _), full_at in zip(wanted, result):
                self.conn.execute("INSERT INTO rate_limits (key, full_at) VALUES (?, ?)"
                                  " ON CONFLICT (key) DO UPDATE SET full_at = excluded.full_at", (key, full_at))
            return 0

    def give_back(self, key, limit):
        """Returns one request's allowance to `key` (a sign-in that turned
        out right does not count against its account)."""
        with self._write():
            self.backend.lock_keys(self.conn, [key])
            row = self.conn.execute("SELECT full_at FROM rate_limits WHERE key = ?", (key,)).fetchone()
            back = limits.given_back(limit, row[0] if row else None, self.precise_now)
            if back is None:
                self.conn.execute("DELETE FROM rate_limits WHERE key = ?", (key,))
            else:
                self.conn.execute("UPDATE rate_limits SET full_at = ? WHERE key = ?", (back, key))

    def _sweep(self):
        # A key whose allowance is full again is the same as no row: drop
        # such rows now and then, so the table holds only recent clients.
        if self.precise_now < self.store._next_sweep:
            return
        self.store._next_sweep = self.precise_now + _SWEEP_EVERY
        self.conn.execute(self.backend.sweep_limits, (self.precise_now,))

    # --- accounts

    def create_account(self, username, password_hash, ref):
        """Adds an account and returns its id. `ref` is credited when it is
        another account's referral code; an unknown one is ignored. Raises
        NameTaken when the name exists in any letter case."""
        code = normalise_ref(ref)
        with self._write():
            if self.find_account(username):
                raise NameTaken(username)
            referrer = self._account_by_code(code) if code else None
            for _ in range(20):
                self.conn.execute("SAVEPOINT new_account")
                try:
                    row = self.conn.execute(
                        "INSERT INTO accounts (username, password, referral_code, referred_by, created_at)"
                        " VALUES (?, ?, ?, ?, ?) RETURNING id",
                        (username, password_hash, credentials.new_referral_code(), referrer, self.now)).fetchone()
                    self.conn.execute("RELEASE new_account")
                    return row[0]
                except self.backend.integrity_error:
                    self.conn.execute("ROLLBACK TO new_account")
                    # Another writer took the name since the check (only
                    # PostgreSQL lets two creates run at once), or the random
                    # referral code was taken: then draw again.
                    if self.find_account(username):
                        raise NameTaken(username) from None
            raise RuntimeError("no free referral code after 20 draws")

    def find_account(self, username):
        """(id, password hash) of the account with this name in any letter
        case, or None."""
        return self.conn.execute(f"SELECT id, password FROM accounts WHERE {self.backend.name_match}",
                                 (username,)).fetchone()

    def replace_password_hash(self, account_id, old_hash, new_hash):
        """Stores a new hash of the same password, unless the stored one
        changed meanwhile. True when it was stored."""
        with self._write():
            cursor = self.conn.execute("UPDATE accounts SET password = ? WHERE id = ? AND password = ?",
                                       (new_hash, account_id, old_hash))
            return cursor.rowcount == 1

    def issue_token(self, account_id, lifetime):
        token = credentials.new_token()
        with self._write():
            self.conn.execute("DELETE FROM tokens WHERE expires_at <= ?", (self.now,))
            self.conn.execute(
                "INSERT INTO tokens (digest, account_id, created_at, expires_at) VALUES (?, ?, ?, ?)",
                (credentials.token_digest(token), account_id, self.now, self.now + lifetime))
        return token

    def account_for_token(self, token):
        """The account id a live token belongs to, or None for a token that is
        malformed, unknown, revoked or expired."""
        if not credentials.is_token_shaped(token):
            return None
        row = self.conn.execute("SELECT account_id, expires_at FROM tokens WHERE digest = ?",
                                (credentials.token_digest(token),)).fetchone()
        if row is None or row[1] <= self.now:
            return None
        return row[0]

    def revoke_token(self, token):
        """True when a live token was revoked now."""
        if not credentials.is_token_shaped(token):
            return False
        with self._write():
            cursor = self.conn.execute("DELETE FROM tokens WHERE digest = ? AND expires_at > ?",
                                       (credentials.token_digest(token), self.now))
            return cursor.rowcount == 1

    def profile(self, account_id):
        row = self.conn.execute(
            "SELECT username, referral_code,"
            " (SELECT COUNT(*) FROM accounts AS invited WHERE invited.referred_by = accounts.id),"
            " (SELECT COUNT(*) FROM install_credits WHERE install_credits.account_id = accounts.id)"
            " FROM accounts WHERE id = ?", (account_id,)).fetchone()
        if row is None:
            return None
        return {"username": row[0], "referralCode": row[1], "invited": int(row[2]), "installs": int(row[3])}

    # --- events

    def record_event(self, name, ref, version, client, network):
        """Keeps the event (dropping the oldest beyond the store's cap); an
        "install" whose ref is a referral code credits that account unless
        this client network was credited to it before. Returns whether it
        was credited."""
        code = normalise_ref(ref)
        with self._write():
            credited = False
            if name == "install" and code:
                account = self._account_by_code(code)
                if account is not None:
                    cursor = self.conn.execute(
                        "INSERT INTO install_credits (account_id, client, at) VALUES (?, ?, ?)"
                        " ON CONFLICT DO NOTHING", (account, network, self.now))
                    credited = cursor.rowcount == 1
            row = self.conn.execute(
                "INSERT INTO events (name, ref, version, client, credited, at) VALUES (?, ?, ?, ?, ?, ?)"
                " RETURNING id", (name, ref[:MAX_REF_LOOKUP], version, client, int(credited), self.now)).fetchone()
            # Ids only grow, so the newest `max_events` ids are what is kept.
            self.conn.execute("DELETE FROM events WHERE id <= ?", (row[0] - self.store.max_events,))
            return credited
