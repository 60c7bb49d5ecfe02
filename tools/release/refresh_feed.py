#!/usr/bin/env python3
"""Renews the signed documents of an update feed without publishing anything.

    refresh_feed.py FEED --signing-key KEYFILE [--channel C ...] [--expires-days 30]

Launchers that trust a key refuse a latest.json or catalog.json after its
"expires": a feed with no new release must still be refreshed before then.
This gives each FEED/<channel>/latest.json (every channel unless --channel
names some) and FEED/addons/catalog.json (when there is one) the next
"serial" and a new "expires", pins any manifest they name without a digest
(from the feed's own files), and signs them again. Nothing else changes.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import release_lib as lib  # noqa: E402


def channels_of(feed):
    try:
        names = sorted(os.listdir(feed))
    except OSError as e:
        raise lib.ReleaseError(f"cannot list {feed}: {e.strerror}") from e
    return [n for n in names if os.path.isfile(os.path.join(feed, n, "latest.json"))]


def main(argv=None):
    parser = argparse.ArgumentParser(description="Renew the serial, expiry and signature of a feed's documents.")
    parser.add_argument("feed", help="the feed folder")
    parser.add_argument("--channel", action="append", help="a channel to refresh (default every channel)")
    lib.add_signing_arguments(parser, "each document")
    args = parser.parse_args(argv)
    if not args.signing_key:
        raise lib.ReleaseError("--signing-key is required: an unsigned feed never expires")
    lib.expiry_text(args.expires_days)
    key = lib.load_signing_key(args.signing_key)

    channels = [lib.check_name_part("channel", c) for c in args.channel] if args.channel else channels_of(args.feed)
    documents = []
    for channel in channels:
        path = os.path.join(args.feed, channel, "latest.json")
        latest = lib.read_json_object(path)
        if not isinstance(latest, dict):
            raise lib.ReleaseError(f"{path} is missing or not a JSON object")
        game = latest.get("game")
        if isinstance(game, dict) and "manifest" in game and not lib.pin_missing(game, os.path.dirname(path)):
            raise lib.ReleaseError(f"{path} names a manifest this feed does not hold; publish again instead")
        documents.append((path, latest))
    catalog_path = os.path.join(args.feed, "addons", "catalog.json")
    catalog = lib.read_json_object(catalog_path)
    if catalog is not None:
        if isinstance(catalog, list):
            catalog = {"addons": catalog}
        if not isinstance(catalog, dict) or not isinstance(catalog.get("addons", []), list):
            raise lib.ReleaseError(f"{catalog_path} is neither a list of add-ons nor an object holding one")
        for entry in catalog.get("addons", []):
            if not lib.pin_missing(entry, os.path.dirname(catalog_path)):
                print(f"warning: {catalog_path}: an entry names no manifest this feed holds; "
                      "launchers that trust a key will skip it", file=sys.stderr)
        documents.append((catalog_path, catalog))
    if not documents:
        raise lib.ReleaseError(f"{args.feed} holds no latest.json or catalog.json")
    # Every document is read and checked before the first is written.
    for path, document in documents:
        lib.stamp(document, args.expires_days)
        lib.write_feed_document(path, document, key)
        print(f"Refreshed {path}: serial {document['serial']}, expires {document['expires']}")


if __name__ == "__main__":
    lib.run(main)
