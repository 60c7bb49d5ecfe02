"""Passwords and sign-in tokens. Passwords are kept only as salted scrypt
digests; tokens are random and kept only as their SHA-256, so a copy of the
database gives no one a way in."""

import hashlib
import hmac
import re
import secrets
import threading

# scrypt cost for new hashes: N = 2^17, r = 8, p = 1 needs 128 MiB and about
# a second of one core per hash, which is what makes a stolen database slow
# to attack. The cost is stored with each hash, so hashes made with an older
# cost still verify (and are made again at this cost on the next sign-in).
SCRYPT_N = 1 << 17
SCRYPT_R = 8
SCRYPT_P = 1
_SALT_BYTES = 16
_KEY_BYTES = 32
# The most memory a stored hash may make us spend (a damaged or hostile row
# must not take the worker down): twice today's cost.
MAX_HASH_MEMORY = 2 * 128 * (1 << 17) * 8

_TOKEN = re.compile(r"[0-9a-f]{64}")
_HASH = re.compile(r"scrypt\$([1-9][0-9]{0,9})\$([1-9][0-9]{0,3})\$([1-9][0-9]{0,3})\$([0-9a-f]{32,128})\$([0-9a-f]{64})")


def hash_memory(n, r, p):
    """Bytes OpenSSL needs for one scrypt: its large table plus the blocks,
    and a little slack for its own checks."""
    return 128 * r * (n + 2 + p) + (1 << 20)


def _parse(stored):
    m = _HASH.fullmatch(stored) if isinstance(stored, str) else None
    if not m:
        return None
    n, r, p = int(m[1]), int(m[2]), int(m[3])
    if n < 2 or n & (n - 1) or hash_memory(n, r, p) > MAX_HASH_MEMORY:
        return None
    return n, r, p, bytes.fromhex(m[4]), bytes.fromhex(m[5])


def _scrypt(password, salt, n, r, p):
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p,
                          maxmem=hash_memory(n, r, p), dklen=_KEY_BYTES)


class HashBusy(Exception):
    """No hashing slot came free in time."""


class Hasher:
    """Makes and checks password hashes, at most `slots` at once in this
    process: each takes 128 MiB while it runs, so a burst of sign-ins on a
    threaded server waits for a slot instead of multiplying the memory."""

    def __init__(self, n=SCRYPT_N, r=SCRYPT_R, p=SCRYPT_P, slots=2, wait=10.0):
        if n < 2 or n & (n - 1) or r < 1 or p < 1:
            raise ValueError("scrypt needs N a power of two above 1, r and p at least 1")
        if slots < 1:
            raise ValueError("at least one hashing slot is needed")
        self.n, self.r, self.p = n, r, p
        self.wait = wait
        self._slots = threading.BoundedSemaphore(slots)
        # Spent on sign-ins of unknown names, so that the answer's timing does
        # not tell which pilot names exist. Any salt and key will do: only
        # the work matters, and no password gives this key.
        self._dummy = f"scrypt${n}${r}${p}${'00' * _SALT_BYTES}${'00' * _KEY_BYTES}"

    def _run(self, function, *args):
        if not self._slots.acquire(timeout=self.wait):
            raise HashBusy()
        try:
            return function(*args)
        finally:
            self._slots.release()

    def hash(self, password):
        """"scrypt$N$r$p$<salt hex>$<key hex>" for a new password."""
        salt = secrets.token_bytes(_SALT_BYTES)
        key = self._run(_scrypt, password, salt, self.n, self.r, self.p)
        return f"scrypt${self.n}${self.r}${self.p}${salt.hex()}${key.hex()}"

    def verify(self, password, stored):
        """True when `password` gives the stored digest; false for anything
        else, including a stored text this code does not understand."""
        parsed = _parse(stored)
        if parsed is None:
            return False
        n, r, p, salt, key = parsed
        try:
            actual = self._run(_scrypt, password, salt, n, r, p)
        except (ValueError, MemoryError):
            return False
        return hmac.compare_digest(actual, key)

    def burn_time(self, password):
        self.verify(password, self._dummy)

    def is_outdated(self, stored):
        """True for a hash made with less work than this hasher's."""
        parsed = _parse(stored)
        return parsed is not None and parsed[0] * parsed[1] * parsed[2] < self.n * self.r * self.p


def new_token():
    """64 random lowercase hexadecimal digits (256 bits)."""
    return secrets.token_hex(32)


def is_token_shaped(text):
    return bool(_TOKEN.fullmatch(text))


def token_digest(token):
    """What the database keeps instead of the token."""
    return hashlib.sha256(token.encode("ascii")).hexdigest()


_CODE_ALPHABET = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789"  # no 0/O or 1/I to misread
REFERRAL_CODE_LENGTH = 8


def new_referral_code():
    return "".join(secrets.choice(_CODE_ALPHABET) for _ in range(REFERRAL_CODE_LENGTH))
