"""The two databases the server keeps its data in: SQLite in the data folder
(the default, nothing to set up) and PostgreSQL (several server processes,
on several machines, sharing one database). Each gives connections that
take the same SQL with "?" placeholders, and the few statements that differ.

Both are safe under several processes and threads at once: each request
opens its own connection and closes it when done (a connection is never
shared between threads or carried across a fork), and every change happens
in one transaction in which a check and the write that depends on it cannot
interleave with another writer's (SQLite: BEGIN IMMEDIATE, one writer at a
time; PostgreSQL: unique indexes, INSERT ... ON CONFLICT, and advisory locks
where a row may not exist yet)."""

import os
import re
import sqlite3
import sys
import threading
import time

# Seconds a statement waits for a lock before the request is answered 503.
BUSY_TIMEOUT = 10.0
SCHEMA_VERSION = 2

_TABLES_SQLITE = """
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
-- One row per referrer and client network: an install is credited once.
CREATE TABLE IF NOT EXISTS install_credits (
  account_id INTEGER NOT NULL REFERENCES accounts(id),
  client TEXT NOT NULL,
  at INTEGER NOT NULL,
  PRIMARY KEY (account_id, client)
) WITHOUT ROWID;
-- Per key, the time its rate-limit allowance is full again (limits.py).
CREATE TABLE IF NOT EXISTS rate_limits (
  key TEXT PRIMARY KEY,
  full_at REAL NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS rate_limits_by_time ON rate_limits(full_at);
"""

_TABLES_POSTGRES = """
CREATE TABLE IF NOT EXISTS vantor_schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS accounts (
  id BIGSERIAL PRIMARY KEY,
  username TEXT NOT NULL,
  password TEXT NOT NULL,
  referral_code TEXT NOT NULL UNIQUE,
  referred_by BIGINT REFERENCES accounts(id),
  created_at BIGINT NOT NULL
);
CREATE UNIQUE INDEX IF NOT EXISTS accounts_by_name ON accounts (lower(username));
CREATE INDEX IF NOT EXISTS accounts_by_referrer ON accounts(referred_by);
CREATE TABLE IF NOT EXISTS tokens (
  digest TEXT PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts(id),
  created_at BIGINT NOT NULL,
  expires_at BIGINT NOT NULL
);
CREATE INDEX IF NOT EXISTS tokens_by_expiry ON tokens(expires_at);
CREATE TABLE IF NOT EXISTS events (
  id BIGSERIAL PRIMARY KEY,
  name TEXT NOT NULL,
  ref TEXT NOT NULL,
  version TEXT NOT NULL,
  client TEXT NOT NULL,
  credited INTEGER NOT NULL,
  at BIGINT NOT NULL
);
CREATE TABLE IF NOT EXISTS install_credits (
  account_id BIGINT NOT NULL REFERENCES accounts(id),
  client TEXT NOT NULL,
  at BIGINT NOT NULL,
  PRIMARY KEY (account_id, client)
);
CREATE TABLE IF NOT EXISTS rate_limits (
  key TEXT PRIMARY KEY,
  full_at DOUBLE PRECISION NOT NULL
);
CREATE INDEX IF NOT EXISTS rate_limits_by_time ON rate_limits(full_at);
"""


def _statements(script):
    lines = [line for line in script.splitlines() if not line.lstrip().startswith("--")]
    return [s.strip() for s in "\n".join(lines).split(";") if s.strip()]


def redact(url):
    """A database URL fit for a log line: any password left out."""
    return re.sub(r"(//[^/@:]*):[^/@]*@", r"\1:***@", url)


class Connection:
    """One DB-API connection in autocommit mode (transactions are begun by
    hand), taking "?" placeholders on either database."""

    def __init__(self, raw, translate):
        self.raw = raw
        self._translate = translate

    def execute(self, sql, args=()):
        cursor = self.raw.cursor()
        cursor.execute(sql.replace("?", "%s") if self._translate else sql, tuple(args))
        return cursor

    def close(self):
        self.raw.close()


class SqliteBackend:
    """server.db in the data folder, in WAL mode: readers never block the one
    writer, and a power cut may lose the last commits but never corrupts."""

    kind = "sqlite"
    integrity_error = sqlite3.IntegrityError
    name_match = "username = ?"  # the column ignores ASCII letter case
    sweep_limits = "DELETE FROM rate_limits WHERE full_at <= ?"

    def __init__(self, path):
        self.path = path

    def describe(self):
        return self.path

    def connect(self):
        raw = sqlite3.connect(self.path, timeout=BUSY_TIMEOUT, isolation_level=None)
        raw.execute("PRAGMA foreign_keys = ON")
        raw.execute("PRAGMA synchronous = NORMAL")
        return Connection(raw, translate=False)

    @staticmethod
    def release(conn):
        conn.close()

    def begin_write(self, conn):
        conn.execute("BEGIN IMMEDIATE")

    def lock_keys(self, conn, keys):
        pass  # BEGIN IMMEDIATE already holds every other writer off

    @staticmethod
    def is_busy(error):
        return isinstance(error, sqlite3.OperationalError) and "locked" in str(error).lower()

    def initialise(self, migrate_credits):
        """Creates the folder, the database and its tables when missing, and
        brings an older database up to date. Several workers may do this at
        once; the losers wait on the lock and then find everything in place."""
        folder = os.path.dirname(self.path)
        if folder:
            os.makedirs(folder, exist_ok=True)
        deadline = time.monotonic() + 30
        while True:
            try:
                conn = self.connect()
                try:
                    mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()[0]
                    if mode.lower() != "wal":
                        raise sqlite3.OperationalError(f"the database refused WAL mode ({mode})")
                    conn.execute("BEGIN IMMEDIATE")
                    try:
                        version = conn.execute("PRAGMA user_version").fetchone()[0]
                        for statement in _statements(_TABLES_SQLITE):
                            conn.execute(statement)
                        if 0 < version < 2:
                            migrate_credits(conn)
                        if version < SCHEMA_VERSION:
                            conn.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
                        conn.execute("COMMIT")
                    except BaseException:
                        conn.execute("ROLLBACK")
                        raise
                    return
                finally:
                    conn.close()
            except sqlite3.OperationalError as error:
                if not self.is_busy(error) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


class PostgresBackend:
    """A PostgreSQL database named by a libpq URL
    ("postgresql://user@host/dbname", "postgresql:///dbname?host=/run/pg")."""

    kind = "postgresql"
    name_match = "lower(username) = lower(?)"
    # Rows another request holds are left for the next sweep: two sweeps
    # waiting on each other's rows would be a deadlock.
    sweep_limits = ("DELETE FROM rate_limits WHERE key IN"
                    " (SELECT key FROM rate_limits WHERE full_at <= ? FOR UPDATE SKIP LOCKED)")
    # Idle connections kept per process: connecting costs a new server
    # process on PostgreSQL's side, and a request makes a few sessions.
    MAX_IDLE = 4

    def __init__(self, url):
        try:
            import psycopg2  # only a server given a PostgreSQL URL needs it
        except ImportError:
            raise RuntimeError("a PostgreSQL database needs psycopg2 (Debian's python3-psycopg2)") from None
        self._psycopg2 = psycopg2
        self.integrity_error = psycopg2.IntegrityError
        self.url = url
        self._lock = threading.Lock()
        self._pid = os.getpid()
        self._idle = []
        self._inherited = []

    def describe(self):
        return redact(self.url)

    def connect(self):
        """A connection from this process's idle ones, else a new one."""
        with self._lock:
            if self._pid != os.getpid():
                # Inherited across a fork: the parent's sessions. Closing them
                # here would end them for the parent too, so they are left
                # alone (never used, never closed).
                self._inherited.extend(self._idle)
                self._idle = []
                self._pid = os.getpid()
            if self._idle:
                return self._idle.pop()
        return self._new_connection()

    def release(self, conn):
        """Keeps a healthy idle connection for the next request."""
        extensions = self._psycopg2.extensions
        healthy = (not conn.raw.closed and
                   conn.raw.get_transaction_status() == extensions.TRANSACTION_STATUS_IDLE)
        with self._lock:
            if healthy and self._pid == os.getpid() and len(self._idle) < self.MAX_IDLE:
                self._idle.append(conn)
                return
        conn.close()

    def _new_connection(self):
        # The URL's own options (a search_path, say) are kept; ours follow.
        from psycopg2.extensions import parse_dsn
        options = parse_dsn(self.url).get("options", "")
        options += f" -c lock_timeout={int(BUSY_TIMEOUT * 1000)} -c statement_timeout={int(BUSY_TIMEOUT * 3000)}"
        raw = self._psycopg2.connect(self.url, connect_timeout=max(2, int(BUSY_TIMEOUT)), options=options.strip())
        raw.autocommit = True
        return Connection(raw, translate=True)

    def begin_write(self, conn):
        # The wait is set per transaction (one round trip with BEGIN), so a
        # pooled connection follows the setting of the moment.
        conn.execute(f"BEGIN; SET LOCAL lock_timeout = {int(BUSY_TIMEOUT * 1000)}")

    def lock_keys(self, conn, keys):
        # Rate-limit rows may not exist yet, so no row lock can cover them;
        # these locks (in one order, so two requests never wait on each
        # other in a circle) end with the transaction.
        for key in sorted(set(keys)):
            conn.execute("SELECT pg_advisory_xact_lock(hashtext(?))", (key,))

    def is_busy(self, error):
        # A lock or statement timeout, a deadlock or serialisation failure,
        # or a database that cannot be reached: all pass with time.
        return isinstance(error, self._psycopg2.OperationalError)

    def initialise(self, migrate_credits):
        conn = self._new_connection()
        try:
            conn.execute("BEGIN")
            try:
                # Several workers start at once; CREATE ... IF NOT EXISTS is
                # not safe against itself in PostgreSQL.
                conn.execute("SELECT pg_advisory_xact_lock(hashtext('vantor schema'))")
                for statement in _statements(_TABLES_POSTGRES):
                    conn.execute(statement)
                row = conn.execute("SELECT max(version) FROM vantor_schema").fetchone()
                if row[0] is None:
                    conn.execute("INSERT INTO vantor_schema (version) VALUES (?)", (SCHEMA_VERSION,))
                elif row[0] > SCHEMA_VERSION:
                    print(f"vantor-server: the database's schema {row[0]} is newer than this server's"
                          f" {SCHEMA_VERSION}", file=sys.stderr, flush=True)
                conn.execute("COMMIT")
            except BaseException:
                conn.execute("ROLLBACK")
                raise
        finally:
            conn.close()


def open_backend(config):
    if config.database:
        return PostgresBackend(config.database)
    return SqliteBackend(config.database_path)
