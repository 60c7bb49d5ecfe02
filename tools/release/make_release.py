#!/usr/bin/env python3
"""Publishes a game release into an update feed.

    make_release.py SOURCE FEED --version V --build N [--channel stable]
                    [--chunk-size B] [--notes TEXT ...] [--released DATE]
                    [--signing-key KEYFILE] [--expires-days 30]

Every file of SOURCE is cut into chunks; each chunk not yet in FEED/objects is
stored there under its SHA-256. The manifest goes to
FEED/manifests/<version>-<build>.json, and FEED/<channel>/latest.json then
names it, keeping its "launcher" entry and any other members as they were.
Objects come first and latest.json last, so the launcher never sees a release
whose content is not all there yet.

latest.json also gets:
  "serial"               one more than before (never below the Unix time)
  "expires"              UTC, RFC 3339, --expires-days from now
  "game"."manifestSha256", "game"."manifestSize"
                         the SHA-256 and size of the manifest's exact bytes
and with --signing-key, latest.json.sig beside it (written last): the
Base64 of the raw r and s of an ECDSA P-256 signature of latest.json's bytes.
The "launcher" entry's "sha256" and "size" pin the launcher build the same
way; a launcher reads no more than "size" bytes of it.
"""

import argparse
import datetime
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import release_lib as lib  # noqa: E402


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Publish a game release into an update feed.")
    parser.add_argument("source", help="the game folder to publish")
    parser.add_argument("feed", help="the feed folder (created when missing)")
    parser.add_argument("--version", required=True, help="release version, e.g. 1.4.2")
    parser.add_argument("--build", required=True, type=int, help="build number, 0 to 2147483647")
    parser.add_argument("--channel", default="stable", help="release channel (default stable)")
    parser.add_argument("--chunk-size", type=int, default=lib.DEFAULT_CHUNK_SIZE,
                        help=f"bytes per chunk (default {lib.DEFAULT_CHUNK_SIZE}, "
                             f"at least {lib.MINIMUM_CHUNK_SIZE})")
    parser.add_argument("--notes", nargs="*", default=[], help="release notes, one text each")
    parser.add_argument("--released", help="release date text (default today, YYYY-MM-DD)")
    parser.add_argument("--replace", action="store_true",
                        help="overwrite a published manifest of the same version and build "
                             "that lists other content")
    lib.add_signing_arguments(parser, "latest.json")
    return parser.parse_args(argv)


def main(argv=None):
    args = parse_args(argv)
    version = lib.check_name_part("version", args.version)
    channel = lib.check_name_part("channel", args.channel)
    if not 0 <= args.build <= 2147483647:
        raise lib.ReleaseError("the build number must lie between 0 and 2147483647")
    released = args.released or datetime.date.today().isoformat()
    lib.expiry_text(args.expires_days)  # a bad value stops the publish before any work
    key = lib.load_signing_key(args.signing_key) if args.signing_key else None

    feed = args.feed
    latest_path = os.path.join(feed, channel, "latest.json")
    # Read before any work: a damaged latest.json stops the publish while
    # nothing has been written.
    latest = lib.read_json_object(latest_path)
    if latest is None:
        latest = {}
    if not isinstance(latest, dict):
        raise lib.ReleaseError(f"{latest_path} is not a JSON object; fix or remove it first")

    files, total, store = lib.build_content(args.source, feed, args.chunk_size)

    name = f"{version}-{args.build}.json"
    manifest_path = os.path.join(feed, "manifests", name)
    manifest = lib.manifest_document(version, args.build, args.chunk_size, "../objects/", files)
    manifest_sha256, manifest_size = lib.write_manifest(manifest_path, manifest, args.replace)

    latest["game"] = {
        "build": args.build,
        "manifest": "../manifests/" + name,
        "manifestSha256": manifest_sha256,
        "manifestSize": manifest_size,
        "notes": list(args.notes),
        "released": released,
        "size": total,
        "version": version,
    }
    lib.stamp(latest, args.expires_days)
    build = latest.get("launcher")
    if key and isinstance(build, dict) and not (
            isinstance(build.get("sha256"), str) and len(build["sha256"]) == 64
            and isinstance(build.get("size"), int) and build["size"] > 0):
        print("warning: the \"launcher\" entry has no \"sha256\" and \"size\"; launchers that trust "
              "the key will not update themselves from it", file=sys.stderr)
    lib.write_feed_document(latest_path, latest, key)

    print(lib.summary(f"Released {version} build {args.build} on {channel}", files, total, store))
    print(f"  manifest {manifest_path}")
    print(f"  latest   {latest_path} (serial {latest['serial']}, expires {latest['expires']}"
          f"{', signed' if key else ', not signed'})")


if __name__ == "__main__":
    lib.run(main)
