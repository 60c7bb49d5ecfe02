"""The server's SQLite database: accounts, sign-in tokens (as digests only),
usage events and install credits.

Safe under several processes and threads at once: the database runs in WAL
mode (readers never block the one writer), every connection waits up to
`BUSY_TIMEOUT` seconds for a lock instead of failing at once, each request
opens its own connection and closes it when done (a connection is never
shared between threads or carried across a fork), and every change happens
in one BEGIN IMMEDIATE transaction, so a check and the write that depends
on it cannot interleave with another writer's."""

import contextlib
import os
import sqlite3
import time

from . import credentials

BUSY_TIMEOUT = 10.0
SCHEMA_VERSION = 1

_SCHEMA = """
CREATE TABLE IF NOT EXISTS accounts (
  id INTEGER PRIMARY KEY,
  username TEXT NOT NULL UNIQUE COLLATE NOCASE,
  password TEXT NOT NULL,
  referral_code TEXT NOT NULL UNIQUE,
  referred_by INTEGER REFERENCES accounts(id),
  created_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS accounts_by_referrer ON accounts(referred_by);

-- Only the SHA-256 of each token: the token itself never reaches the disk.
CREATE TABLE IF NOT EXISTS tokens (
  digest TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  created_at INTEGER NOT NULL,
  expires_at INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS tokens_by_expiry ON tokens(expires_at);

CREATE TABLE IF NOT EXISTS events (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  ref TEXT NOT NULL,
  version TEXT NOT NULL,
  client TEXT NOT NULL,
  credited INTEGER NOT NULL,
  at INTEGER NOT NULL
);

-- One row per referrer and client address: an install is credited once.
CREATE TABLE IF NOT EXISTS install_credits (
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  client TEXT NOT NULL,
  at INTEGER NOT NULL,
  PRIMARY KEY (account_id, client)
) WITHOUT ROWID;
"""

# Longest "ref" looked up; anything longer cannot be a code of ours.
MAX_REF_LOOKUP = 64


class NameTaken(Exception):
    """Another account already has this pilot name (in any letter case)."""


def is_busy(error):
    """True for the errors SQLite gives when its busy timeout ran out."""
    return isinstance(error, sqlite3.OperationalError) and "locked" in str(error).lower()


def normalise_ref(ref):
    """The referral code a "ref" text names, or "" when it cannot name one.
    Codes are upper case; links typed by hand may not be."""
    ref = ref.strip()
    if not ref or len(ref) > MAX_REF_LOOKUP:
        return ""
    return ref.upper()


class Store:
    def __init__(self, path, clock=time.time):
        self.path = path
        self.clock = clock

    def _connect(self):
        conn = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT, isolation_level=None)
        conn.execute("PRAGMA foreign_keys = ON")
        # Safe with WAL: a power cut may lose the last commits, never corrupt.
        conn.execute("PRAGMA synchronous = NORMAL")
        return conn

    def initialise(self):
        """Creates the folder, the database and its tables when missing. Several
        workers may do this at once; the losers wait on the lock and then find
        everything in place."""
        folder = os.path.dirname(self.path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        deadline = time.monotonic() + 30
        while True:
            try:
                conn = self._connect()
                try:
                    mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()[0]
                    if mode.lower() != "wal":
                        raise sqlite3.OperationalError(f"the database refused WAL mode ({mode})")
                    conn.execute("BEGIN IMMEDIATE")
                    try:
                        for statement in _SCHEMA.split(";"):
                            if statement.strip():
                                conn.execute(statement)
                        conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
                        conn.execute("COMMIT")
                    except BaseException:
                        conn.execute("ROLLBACK")
                        raise
                    return
                finally:
                    conn.close()
            except sqlite3.OperationalError as error:
                if not is_busy(error) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    @contextlib.contextmanager
    def session(self):
        """One connection for one request, closed at the end whatever happens."""
        conn = self._connect()
        try:
            yield Session(conn, int(self.clock()))
        finally:
            conn.close()


class Session:
    def __init__(self, conn, now):
        self.conn = conn
        self.now = now

    @contextlib.contextmanager
    def _write(self):
        self.conn.execute("BEGIN IMMEDIATE")
        try:
            yield
        except BaseException:
            self.conn.execute("ROLLBACK")
            raise
        self.conn.execute("COMMIT")

    def create_account(self, username, password_hash, ref):
        """Adds an account and returns its id. `ref` is credited when it is
        another account's referral code; an unknown one is ignored. Raises
        NameTaken when the name exists in any letter case."""
        code = normalise_ref(ref)
        with self._write():
            if self.conn.execute("SELECT 1 FROM accounts WHERE username = ?", (username,)).fetchone():
                raise NameTaken(username)
            referrer = None
            if code:
                row = self.conn.execute("SELECT id FROM accounts WHERE referral_code = ?", (code,)).fetchone()
                referrer = row[0] if row else None
            for _ in range(20):
                try:
                    cursor = self.conn.execute(
                        "INSERT INTO accounts (username, password, referral_code, referred_by, created_at)"
                        " VALUES (?, ?, ?, ?, ?)",
                        (username, password_hash, credentials.new_referral_code(), referrer, self.now))
                    return cursor.lastrowid
                except sqlite3.IntegrityError:
                    continue  # the random referral code was taken: draw again
            raise RuntimeError("no free referral code after 20 draws")

    def find_account(self, username):
        """(id, password hash) of the account with this name in any letter
        case, or None."""
        return self.conn.execute("SELECT id, password FROM accounts WHERE username = ?", (username,)).fetchone()

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
        return {"username": row[0], "referralCode": row[1], "invited": row[2], "installs": row[3]}

    def record_event(self, name, ref, version, client):
        """Keeps the event; an "install" whose ref is a referral code credits
        that account unless this client address was credited to it before.
        Returns whether it was credited."""
        code = normalise_ref(ref)
        with self._write():
            credited = False
            if name == "install" and code:
                row = self.conn.execute("SELECT id FROM accounts WHERE referral_code = ?", (code,)).fetchone()
                if row:
                    cursor = self.conn.execute(
                        "INSERT OR IGNORE INTO install_credits (account_id, client, at) VALUES (?, ?, ?)",
                        (row[0], client, self.now))
                    credited = cursor.rowcount == 1
            self.conn.execute(
                "INSERT INTO events (name, ref, version, client, credited, at) VALUES (?, ?, ?, ?, ?, ?)",
                (name, ref[:MAX_REF_LOOKUP], version, client, int(credited), self.now))
            return credited
