"""Passwords and sign-in tokens. Passwords are kept only as salted scrypt
digests; tokens are random and kept only as their SHA-256, so a copy of the
database gives no one a way in."""

import hashlib
import hmac
import re
import secrets

# scrypt cost: about 16 MiB and a few tens of milliseconds per hash, which is
# what makes a stolen database slow to attack. Stored with each hash, so the
# cost can be raised later without breaking existing accounts.
SCRYPT_N = 1 << 14
SCRYPT_R = 8
SCRYPT_P = 1
_SALT_BYTES = 16
_KEY_BYTES = 32
_MAXMEM = 64 * 1024 * 1024

_TOKEN = re.compile(r"[0-9a-f]{64}")


def _scrypt(password, salt, n, r, p):
    return hashlib.scrypt(password.encode("utf-8"), salt=salt, n=n, r=r, p=p,
                          maxmem=_MAXMEM, dklen=_KEY_BYTES)


def hash_password(password):
    """"scrypt$N$r$p$<salt hex>$<key hex>" for a new password."""
    salt = secrets.token_bytes(_SALT_BYTES)
    key = _scrypt(password, salt, SCRYPT_N, SCRYPT_R, SCRYPT_P)
    return f"scrypt${SCRYPT_N}${SCRYPT_R}${SCRYPT_P}${salt.hex()}${key.hex()}"


def verify_password(password, stored):
    """True when `password` gives the stored digest; false for anything else,
    including a stored text this code does not understand."""
    try:
        scheme, n, r, p, salt, key = stored.split("$")
        if scheme != "scrypt":
            return False
        actual = _scrypt(password, bytes.fromhex(salt), int(n), int(r), int(p))
        return hmac.compare_digest(actual, bytes.fromhex(key))
    except (ValueError, MemoryError):
        return False


# Spent on sign-ins of unknown names, so that the answer's timing does not
# tell which pilot names exist.
_DUMMY = hash_password("not a password of anyone")


def burn_password_time(password):
    verify_password(password, _DUMMY)


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
