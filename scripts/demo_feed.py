#!/usr/bin/env python3
"""The demo's update feed, published once with the release tools:

- the stand-in game with SIZE MiB of content (default 256) as release 1.0.0
  build 1 on the stable channel;
- release 1.1.0 build 2 on the beta channel, in which the game and one pack
  changed (switch the channel to Beta in the settings and an update shows);
- an add-on catalogue with two add-ons;
- a newer launcher build: LAUNCHER offered as 1.0.1 on both channels, so the
  launcher's update banner shows.

    scripts/demo_feed.py FEED --fakegame EXE --launcher EXE [--size-mb N]

The releases are published into a folder beside FEED and renamed into place
when all is there, so an interrupted publish is redone next time; a FEED that
is complete is kept. The launcher build is refreshed whenever LAUNCHER
differs from the one published (a rebuild shows in the demo at once).
"""

import argparse
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20
OFFERED_VERSION = "1.0.1"
CHANNELS = ("stable", "beta")


def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(MIB), b""):
            h.update(block)
    return h.hexdigest()


def random_file(path, size):
    """Incompressible bytes, as game content is, a mebibyte at a time."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        left = size
        while left:
            block = os.urandom(min(MIB, left))
            f.write(block)
            left -= len(block)


def tool(*args):
    r = subprocess.run([sys.executable, os.path.join(REPO, "tools", "release", args[0]), *args[1:]],
                       capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"demo_feed: {args[0]} failed:\n{r.stdout}{r.stderr}")


def write_json(path, value):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        json.dump(value, f, indent=2)
        f.write("\n")
    os.replace(tmp, path)


def publish_content(feed, fakegame, size_mb):
    parent = os.path.dirname(feed)
    os.makedirs(parent, exist_ok=True)
    work = tempfile.mkdtemp(prefix=".demo-feed-", dir=parent)
    try:
        content = os.path.join(work, "game")
        staged = os.path.join(work, "feed")
        os.makedirs(content)
        shutil.copy(fakegame, os.path.join(content, "Vantor"))
        with open(os.path.join(content, "README.txt"), "w") as f:
            f.write("Astrane: Vantor demo build, published by scripts/run.sh\n")
        # Packs of up to 64 MiB, the last one smaller: a realistic mix of
        # large and small files that makes a few hundred megabytes.
        left, index = size_mb * MIB, 0
        while left > 0:
            size = min(64 * MIB, left)
            random_file(os.path.join(content, "data", f"pack{index:02d}.pak"), size)
            left -= size
            index += 1
        random_file(os.path.join(content, "data", "config", "balance.dat"), 300_000)
        print(f"demo_feed: publishing release 1.0.0 ({size_mb} MiB) into {feed}", flush=True)
        tool("make_release.py", content, staged, "--version", "1.0.0", "--build", "1",
             "--notes", "Demo release of the stand-in game", "Two add-ons in the catalogue")

        # The beta: the game's README and one pack changed, one file added.
        with open(os.path.join(content, "README.txt"), "a") as f:
            f.write("Release 1.1.0: the beta channel's build.\n")
        random_file(os.path.join(content, "data", "pack00.pak"), min(16 * MIB, size_mb * MIB))
        random_file(os.path.join(content, "data", "maps", "harbour.map"), 2 * MIB)
        print("demo_feed: publishing release 1.1.0 on the beta channel", flush=True)
        tool("make_release.py", content, staged, "--version", "1.1.0", "--build", "2", "--channel", "beta",
             "--notes", "A new map: Harbour", "Pack 0 rebuilt")

        for addon_id, name, author in (("arena-pack", "Arena Pack", "Vantor Team"),
                                       ("hull-decals", "Hull Decals", "Community")):
            addon = os.path.join(work, "addons", addon_id)
            os.makedirs(os.path.join(addon, "maps"))
            with open(os.path.join(addon, "addon.json"), "w") as f:
                json.dump({"id": addon_id, "name": name, "version": "1.0", "author": author}, f)
            random_file(os.path.join(addon, "maps", addon_id + ".map"), 3 * MIB)
            tool("make_addon.py", addon, staged, "--chunk-size", "65536")

        # Complete: into place in one rename.
        shutil.rmtree(feed, ignore_errors=True)
        os.replace(staged, feed)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def offer_launcher(feed, launcher):
    """LAUNCHER as the newer build every channel offers, unless it already is."""
    builds = os.path.join(feed, "builds")
    os.makedirs(builds, exist_ok=True)
    name = f"vantor-launcher-{OFFERED_VERSION}"
    build = os.path.join(builds, name)
    digest = sha256(launcher)
    if not os.path.exists(build) or sha256(build) != digest:
        tmp = build + ".tmp"
        shutil.copyfile(launcher, tmp)
        os.replace(tmp, build)
    entry = {"version": OFFERED_VERSION, "url": f"../builds/{name}", "sha256": digest,
             "size": os.path.getsize(build)}
    for channel in CHANNELS:
        path = os.path.join(feed, channel, "latest.json")
        with open(path) as f:
            latest = json.load(f)
        if latest.get("launcher") != entry:
            latest["launcher"] = entry
            write_json(path, latest)


def complete(feed):
    return all(os.path.isfile(os.path.join(feed, c, "latest.json")) for c in CHANNELS) and \
        os.path.isfile(os.path.join(feed, "addons", "catalog.json"))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("feed")
    p.add_argument("--fakegame", required=True)
    p.add_argument("--launcher", required=True)
    p.add_argument("--size-mb", type=int, default=256)
    args = p.parse_args()
    if args.size_mb < 1:
        sys.exit("demo_feed: --size-mb must be at least 1")
    feed = os.path.abspath(args.feed)
    if not complete(feed):
        publish_content(feed, args.fakegame, args.size_mb)
    offer_launcher(feed, args.launcher)


if __name__ == "__main__":
    main()
