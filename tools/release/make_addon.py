#!/usr/bin/env python3
"""Publishes an add-on into an update feed.

    make_addon.py ADDON FEED [--chunk-size B] [--replace]
                  [--signing-key KEYFILE] [--expires-days 30]

ADDON is the add-on's folder; its addon.json gives "id", "name", "version",
"author" and "description". The folder is chunked into FEED/objects (shared
with the game), its manifest written to FEED/addons/manifests/<id>-<version>.json,
and its entry in FEED/addons/catalog.json added or replaced; other entries stay.

The entry gets "manifestSha256" and "manifestSize", the SHA-256 and size of
its manifest's exact bytes; the catalogue (always written as an object) gets
"serial" (one more than before, never below the Unix time) and "expires" (UTC,
RFC 3339, --expires-days from now). With --signing-key, catalog.json.sig is
written beside it last: the Base64 of the raw r and s of an ECDSA P-256
signature of catalog.json's bytes. Launchers that trust the key skip entries
without both pins.
"""

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import release_lib as lib  # noqa: E402

TEXT_MEMBERS = ("name", "version", "author", "description")


def read_addon_info(folder):
    path = os.path.join(folder, "addon.json")
    info = lib.read_json_object(path)
    if info is None:
        raise lib.ReleaseError(f"{path} is missing: every add-on needs one")
    if not isinstance(info, dict):
        raise lib.ReleaseError(f"{path} must hold a JSON object")
    addon_id = info.get("id")
    if not lib.is_valid_addon_id(addon_id):
        raise lib.ReleaseError(
            f"{path}: the id {addon_id!r} is not valid: use 1 to 64 characters, each a "
            "lower-case letter a-z, a digit, '-' or '_'")
    for key in TEXT_MEMBERS:
        if key in info and not isinstance(info[key], str):
            raise lib.ReleaseError(f"{path}: \"{key}\" must be a string")
    if not info.get("version"):
        raise lib.ReleaseError(f"{path}: \"version\" is missing; the launcher updates by version")
    lib.check_name_part("version", info["version"])
    return {
        "id": addon_id,
        "name": info.get("name") or addon_id,
        "version": info["version"],
        "author": info.get("author", ""),
        "description": info.get("description", ""),
    }


def read_catalog(path):
    catalog = lib.read_json_object(path)
    if catalog is None:
        return {"addons": []}
    if isinstance(catalog, list):
        return {"addons": catalog}
    if isinstance(catalog, dict) and isinstance(catalog.get("addons", []), list):
        catalog.setdefault("addons", [])
        return catalog
    raise lib.ReleaseError(f"{path} is neither a list of add-ons nor an object holding one")


def place_entry(entries, entry):
    """Replaces every entry of the same id by this one (at the first one's place)."""
    result = []
    placed = False
    for old in entries:
        if isinstance(old, dict) and old.get("id") == entry["id"]:
            if not placed:
                result.append(entry)
                placed = True
            continue
        result.append(old)
    if not placed:
        result.append(entry)
    return result


def main(argv=None):
    parser = argparse.ArgumentParser(description="Publish an add-on into an update feed.")
    parser.add_argument("addon", help="the add-on's folder, holding addon.json")
    parser.add_argument("feed", help="the feed folder (created when missing)")
    parser.add_argument("--chunk-size", type=int, default=lib.DEFAULT_CHUNK_SIZE,
                        help=f"bytes per chunk (default {lib.DEFAULT_CHUNK_SIZE})")
    parser.add_argument("--replace", action="store_true",
                        help="overwrite a published manifest of the same version that lists "
                             "other content")
    lib.add_signing_arguments(parser, "catalog.json")
    args = parser.parse_args(argv)

    lib.expiry_text(args.expires_days)  # a bad value stops the publish before any work
    key = lib.load_signing_key(args.signing_key) if args.signing_key else None
    info = read_addon_info(args.addon)
    catalog_path = os.path.join(args.feed, "addons", "catalog.json")
    catalog = read_catalog(catalog_path)

    files, total, store = lib.build_content(args.addon, args.feed, args.chunk_size)

    name = f"{info['id']}-{info['version']}.json"
    manifest_path = os.path.join(args.feed, "addons", "manifests", name)
    manifest = lib.manifest_document(info["version"], 0, args.chunk_size, "../../objects/", files)
    manifest_sha256, manifest_size = lib.write_manifest(manifest_path, manifest, args.replace)

    entry = dict(info, manifest="manifests/" + name, manifestSha256=manifest_sha256,
                 manifestSize=manifest_size, size=total)
    catalog["addons"] = place_entry(catalog["addons"], entry)
    # Entries published before catalogues were pinned get their pins now.
    for other in catalog["addons"]:
        if not lib.pin_missing(other, os.path.dirname(catalog_path)) and isinstance(other, dict):
            print(f"warning: the entry {other.get('id')!r} names no manifest this feed holds; "
                  "launchers that trust a key will skip it", file=sys.stderr)
    lib.stamp(catalog, args.expires_days)
    lib.write_feed_document(catalog_path, catalog, key)

    print(lib.summary(f"Published add-on {info['id']} {info['version']}", files, total, store))
    print(f"  manifest {manifest_path}")
    print(f"  catalog  {catalog_path} (serial {catalog['serial']}, expires {catalog['expires']}"
          f"{', signed' if key else ', not signed'})")


if __name__ == "__main__":
    lib.run(main)
