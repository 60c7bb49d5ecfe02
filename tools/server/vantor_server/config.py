"""What the server needs to know at start: where its data lives and what its
status answer says. Read from command-line flags (tools/server/run) or from
the environment (gunicorn, through vantor_server.wsgi)."""

import dataclasses
import os
import re

from . import credentials, limits as rate_limits
from .network import parse_proxies

_HOST = re.compile(r"[A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\]")

DEFAULT_NAME = "Vantor reference server"
DEFAULT_ADDRESS = "127.0.0.1:3000"
DEFAULT_TOKEN_LIFETIME = 30 * 24 * 3600
# Events kept; beyond it the oldest are dropped (about 100 bytes each).
DEFAULT_MAX_EVENTS = 1_000_000
DEFAULT_HASH_SLOTS = 2


class ConfigError(Exception):
    """A setting the server cannot start with; the message names it."""


def is_game_address(text):
    """True for "host:port" as the launcher accepts it: a host of letters,
    digits, "." and "-" (or a bracketed IPv6 address) and a port 1-65535."""
    host, sep, port = text.rpartition(":")
    if not sep or not _HOST.fullmatch(host) or not port.isascii() or not port.isdigit():
        return False
    return len(port) <= 5 and 1 <= int(port) <= 65535


@dataclasses.dataclass(frozen=True)
class Config:
    data_dir: str
    name: str = DEFAULT_NAME
    # The game server players join; "" leaves "address" out of the status, so
    # the launcher falls back to the feed's host.
    address: str = DEFAULT_ADDRESS
    max_players: int = 64
    player_count: int = 0
    # Seconds a sign-in token stays valid after it was issued.
    token_lifetime: int = DEFAULT_TOKEN_LIFETIME
    # Take the client's address from X-Real-IP. Only behind a proxy that sets
    # it (our nginx does); otherwise any client could pick its own address.
    # Even then the header counts only on connections from a Unix socket or
    # from `trusted_proxies` (ipaddress networks).
    trust_proxy: bool = False
    trusted_proxies: tuple = ()
    # "" keeps the data in SQLite in data_dir; a "postgresql://" URL in that
    # database, which several server processes may share.
    database: str = ""
    # name -> limits.Limit; a name left out is not limited.
    limits: dict = dataclasses.field(default_factory=lambda: dict(rate_limits.DEFAULTS))
    max_events: int = DEFAULT_MAX_EVENTS
    # Password hashes computed at once in one process (128 MiB each).
    hash_slots: int = DEFAULT_HASH_SLOTS
    # The scrypt N of new password hashes. Only tests lower it.
    scrypt_n: int = credentials.SCRYPT_N

    def __post_init__(self):
        if not self.data_dir and not self.database:
            raise ConfigError("No data folder is set.")
        if self.database and not self.database.startswith(("postgresql://", "postgres://")):
            raise ConfigError("The database must be a postgresql:// URL (or none, for SQLite in the data folder).")
        if self.max_events < 1:
            raise ConfigError("At least one event must be kept.")
        if self.hash_slots < 1:
            raise ConfigError("At least one password may be hashed at a time.")
        if self.address and not is_game_address(self.address):
            raise ConfigError(f"The game server address {self.address!r} is not host:port.")
        if self.max_players < 0 or self.player_count < 0:
            raise ConfigError("Player counts cannot be negative.")
        if self.token_lifetime <= 0:
            raise ConfigError("The token lifetime must be at least one second.")

    @property
    def database_path(self):
        return os.path.join(self.data_dir, "server.db")

    @classmethod
    def from_env(cls, env=None):
        """VANTOR_SERVER_DATA (required), VANTOR_SERVER_NAME,
        VANTOR_SERVER_ADDRESS, VANTOR_SERVER_MAX_PLAYERS,
        VANTOR_SERVER_PLAYERS, VANTOR_SERVER_TOKEN_LIFETIME,
        VANTOR_SERVER_TRUST_PROXY ("1" to trust X-Real-IP),
        VANTOR_SERVER_TRUSTED_PROXIES (addresses or networks besides a Unix
        socket, comma-separated), VANTOR_SERVER_DATABASE (a postgresql://
        URL), VANTOR_SERVER_LIMITS ("name=COUNT/SECONDS" or "name=off",
        comma-separated), VANTOR_SERVER_MAX_EVENTS,
        VANTOR_SERVER_HASH_SLOTS."""
        env = os.environ if env is None else env

        def number(key, default):
            text = env.get(key, "")
            if not text:
                return default
            try:
                return int(text)
            except ValueError:
                raise ConfigError(f"{key} must be a whole number, not {text!r}.") from None

        try:
            proxies = parse_proxies(env.get("VANTOR_SERVER_TRUSTED_PROXIES", ""))
        except ValueError as error:
            raise ConfigError(f"VANTOR_SERVER_TRUSTED_PROXIES: {error}.") from None
        try:
            limits = rate_limits.parse(env.get("VANTOR_SERVER_LIMITS", ""))
        except ValueError as error:
            raise ConfigError(f"VANTOR_SERVER_LIMITS: {error}.") from None
        return cls(
            data_dir=env.get("VANTOR_SERVER_DATA", ""),
            name=env.get("VANTOR_SERVER_NAME", DEFAULT_NAME),
            address=env.get("VANTOR_SERVER_ADDRESS", DEFAULT_ADDRESS),
            max_players=number("VANTOR_SERVER_MAX_PLAYERS", 64),
            player_count=number("VANTOR_SERVER_PLAYERS", 0),
            token_lifetime=number("VANTOR_SERVER_TOKEN_LIFETIME", DEFAULT_TOKEN_LIFETIME),
            trust_proxy=env.get("VANTOR_SERVER_TRUST_PROXY", "") == "1",
            trusted_proxies=proxies,
            database=env.get("VANTOR_SERVER_DATABASE", ""),
            limits=limits,
            max_events=number("VANTOR_SERVER_MAX_EVENTS", DEFAULT_MAX_EVENTS),
            hash_slots=number("VANTOR_SERVER_HASH_SLOTS", DEFAULT_HASH_SLOTS),
        )
