"""What the server needs to know at start: where its data lives and what its
status answer says. Read from command-line flags (tools/server/run) or from
the environment (gunicorn, through vantor_server.wsgi)."""

import dataclasses
import os
import re

_HOST = re.compile(r"[A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\]")

DEFAULT_NAME = "Vantor reference server"
DEFAULT_ADDRESS = "127.0.0.1:3000"
DEFAULT_TOKEN_LIFETIME = 30 * 24 * 3600


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
    trust_proxy: bool = False

    def __post_init__(self):
        if not self.data_dir:
            raise ConfigError("No data folder is set.")
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
        VANTOR_SERVER_TRUST_PROXY ("1" to trust X-Real-IP)."""
        env = os.environ if env is None else env

        def number(key, default):
            text = env.get(key, "")
            if not text:
                return default
            try:
                return int(text)
            except ValueError:
                raise ConfigError(f"{key} must be a whole number, not {text!r}.") from None

        return cls(
            data_dir=env.get("VANTOR_SERVER_DATA", ""),
            name=env.get("VANTOR_SERVER_NAME", DEFAULT_NAME),
            address=env.get("VANTOR_SERVER_ADDRESS", DEFAULT_ADDRESS),
            max_players=number("VANTOR_SERVER_MAX_PLAYERS", 64),
            player_count=number("VANTOR_SERVER_PLAYERS", 0),
            token_lifetime=number("VANTOR_SERVER_TOKEN_LIFETIME", DEFAULT_TOKEN_LIFETIME),
            trust_proxy=env.get("VANTOR_SERVER_TRUST_PROXY", "") == "1",
        )
