#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora from the tests' own cases.

  fuzz/make_seeds.py OUT_FOLDER

Every string literal (plain or raw) in the unit tests of a target's reader
becomes one seed file in OUT_FOLDER/<target>/; the location target gets
consecutive literals as "base NUL reference" pairs, the command target one
{"cmd": NAME} per command the dispatcher knows, and browser mode a few
requests with the placeholders the target fills in.
"""

import hashlib
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SRC = os.path.join(REPO, "launcher", "src")

TESTS = {
    "manifest": ["update/manifest_test.cpp", "update/document_limits_test.cpp"],
    "latest_json": ["update/feed_test.cpp", "update/document_limits_test.cpp"],
    "catalog": ["update/feed_test.cpp"],
    "game_settings": ["data/game_settings_test.cpp", "data/json_document_test.cpp"],
    "launcher_prefs": ["data/launcher_prefs_test.cpp", "data/json_document_test.cpp"],
    "enabled_addons": ["addons/addon_registry_test.cpp"],
    "commands": ["app/commands_test.cpp", "shell/bridge_test.cpp"],
    "location": ["update/location_test.cpp"],
    "launch_options": ["game/launch_test.cpp"],
    "browser_request": ["shell/browser_shell_test.cpp"],
    "account": ["online/account_test.cpp", "app/account_session_test.cpp"],
}

ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "0": "\0", "\\": "\\", '"': '"', "'": "'", "a": "\a", "b": "\b",
           "f": "\f", "v": "\v", "?": "?"}


def unescape(body):
    out = bytearray()
    i = 0
    while i < len(body):
        c = body[i]
        if c != "\\":
            out += c.encode()
            i += 1
            continue
        nxt = body[i + 1] if i + 1 < len(body) else ""
        if nxt == "x":
            m = re.match(r"[0-9a-fA-F]+", body[i + 2:])
            out.append(int(m.group(0), 16) & 0xFF if m else 0)
            i += 2 + (len(m.group(0)) if m else 0)
        elif nxt in "01234567" and re.match(r"[0-7]{1,3}", body[i + 1:]):
            m = re.match(r"[0-7]{1,3}", body[i + 1:])
            out.append(int(m.group(0), 8) & 0xFF)
            i += 1 + len(m.group(0))
        elif nxt == "u" or nxt == "U":
            n = 4 if nxt == "u" else 8
            out += chr(int(body[i + 2:i + 2 + n], 16)).encode("utf-8", "surrogatepass")
            i += 2 + n
        else:
            out += ESCAPES.get(nxt, nxt).encode()
            i += 2
    return bytes(out)


def literals(text):
    """String literals in order: raw ones whole, plain ones with escapes undone;
    adjacent plain literals are joined as the compiler joins them."""
    found = []
    pattern = re.compile(r'R"([^(\s]*)\((.*?)\)\1"|"((?:[^"\\\n]|\\.)*)"|//[^\n]*|\'(?:[^\'\\]|\\.)\'', re.S)
    last_end = -1
    for m in pattern.finditer(text):
        if m.group(0).startswith("//") or m.group(0).startswith("'"):
            continue
        value = m.group(2).encode() if m.group(2) is not None else unescape(m.group(3))
        if found and m.group(3) is not None and text[last_end:m.start()].strip() == "":
            found[-1] += value
        else:
            found.append(value)
        last_end = m.end()
    return found


def write(folder, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, hashlib.sha1(data).hexdigest()), "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    for target, files in TESTS.items():
        seeds = []
        for rel in files:
            path = os.path.join(SRC, rel)
            if os.path.exists(path):
                with open(path, encoding="utf-8", errors="surrogateescape") as f:
                    seeds += literals(f.read())
        folder = os.path.join(out, target)
        if target == "location":
            for a, b in zip(seeds, seeds[1:]):
                write(folder, a + b"\0" + b)
        for s in seeds:
            if len(s) >= 1:
                write(folder, s)
        write(folder, b"{}")
    with open(os.path.join(SRC, "app", "commands.cpp"), encoding="utf-8") as f:
        for name in sorted(set(re.findall(r'cmd == "([A-Za-z]+)"', f.read()))):
            write(os.path.join(out, "commands"), ('{"cmd":"%s"}' % name).encode())
    requests = [
        "GET /?token={TOKEN} HTTP/1.1\r\nHost: {HOST}\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: {HOST}\r\nCookie: x=y\r\n\r\n",
        "GET /launcher.js HTTP/1.1\r\nHost: {HOST}\r\nSec-Fetch-Site: same-origin\r\n\r\n",
        "POST /bridge/cmd HTTP/1.1\r\nHost: {HOST}\r\nOrigin: {ORIGIN}\r\nContent-Type: application/json\r\n"
        "Content-Length: 15\r\n\r\n{\"cmd\":\"ready\"}",
        "GET /bridge/events HTTP/1.1\r\nHost: {HOST}\r\nAccept: text/event-stream\r\n\r\n",
        "POST /bridge/cmd HTTP/1.1\r\nHost: {HOST}\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
    ]
    for r in requests:
        write(os.path.join(out, "browser_request"), r.encode())


if __name__ == "__main__":
    main()
