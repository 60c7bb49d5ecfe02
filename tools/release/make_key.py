#!/usr/bin/env python3
"""Makes a new key for signing an update feed.

    make_key.py KEYFILE

Writes a new P-256 private key to KEYFILE (PEM, readable by its owner only;
an existing file is never replaced) and prints its public key: one line of
Base64 of the uncompressed point (65 bytes). Launchers trust that line when it
is built in (CMake -DVANTOR_FEED_KEYS=...), listed in update.json's "feedKeys"
or set in VANTOR_FEED_KEYS. Keep KEYFILE off the update server: whoever holds
it can publish anything to every launcher that trusts it.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import release_lib as lib  # noqa: E402


def write_new_private_file(path, data):
    """Creates path with mode 0600 holding data; refuses an existing file, or a
    link, so a key is never overwritten or written somewhere else."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(path, flags, 0o600)
    except FileExistsError as e:
        raise lib.ReleaseError(f"{path} already exists; a key is never overwritten") from e
    except OSError as e:
        raise lib.ReleaseError(f"cannot create {path}: {e.strerror}") from e
    try:
        os.fchmod(fd, 0o600)  # whatever the umask said
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
    except BaseException:
        os.unlink(path)
        raise


def main(argv=None):
    parser = argparse.ArgumentParser(description="Make a new P-256 key for signing an update feed; "
                                                 "prints the public key launchers trust.")
    parser.add_argument("keyfile", help="where to write the private key (must not exist)")
    args = parser.parse_args(argv)
    key = lib.new_signing_key()
    write_new_private_file(args.keyfile, lib.private_key_pem(key))
    print(lib.public_key_text(key))


if __name__ == "__main__":
    lib.run(main)
