#!/usr/bin/env python3
"""Synthetic game content for the sync benchmark: incompressible, deterministic.

  gen_game.py generate OUT --size 2G [--seed 1] [--files 1500]
  gen_game.py mutate V1 V2 [--seed 2] [--chunk-size 1M] [--changed 0.03]
  gen_game.py moved V1 V2 [--size 256M] [--chunk-size 1M] [--seed 4]

generate writes about --files files of mixed sizes into OUT (a few large ones
of hundreds of MiB at 2G, some medium ones of a few MiB, many small ones) in
nested folders, --size bytes in all. mutate copies V1 to V2 and then, like a
patch release would: overwrites whole chunk-aligned chunks in a few files
(about --changed of all chunks), renames a few files, deletes some and adds
some. moved writes three archives of --size into V1 and their patch into
V2, where content moves instead: 10 bytes inserted at 1 MiB into the first,
4 KiB deleted at 5 MiB from the second, and the third copied to a new name
with one byte in front; its summary names the chunks of V2 that hold an edit
(new bytes, or a join of bytes that V1 does not have side by side), the least
any fixed chunking must fetch. The same seed gives the same bytes. A summary
is printed as JSON.
"""

import argparse
import json
import math
import os
import random
import shutil
import sys
import time

BLOCK = 4 << 20

FOLDERS = ["data", "paks", "maps", "audio", "textures", "shaders", "video", "locale", "ui", "models"]
SUBFOLDERS = ["common", "hd", "base", "dlc1", "env", "chars", "fx", "music", "voice", "terrain"]


def parse_size(text):
    units = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    t = text.strip().upper().removesuffix("IB").removesuffix("B")
    unit = t[-1:] if t[-1:] in units else ""
    number = t[: -1] if unit else t
    try:
        value = float(number)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text}")
    if value <= 0:
        raise argparse.ArgumentTypeError(f"not a size: {text}")
    return int(value * units[unit])


def write_random(path, size, seed, offset=0, create=True):
    """Writes `size` bytes of seeded random data at `offset`, in blocks."""
    rng = random.Random(seed)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if create else "r+b"
    with open(path, mode) as f:
        f.seek(offset)
        left = size
        while left > 0:
            n = min(BLOCK, left)
            f.write(rng.randbytes(n))
            left -= n


def random_path(rng, index, suffix):
    depth = rng.randint(1, 3)
    parts = [rng.choice(FOLDERS)] + [rng.choice(SUBFOLDERS) for _ in range(depth - 1)]
    return "/".join(parts + [f"f{index:05d}{suffix}"])


def plan_files(total, count, seed):
    """(path, size) pairs adding up to `total` exactly."""
    rng = random.Random(f"plan:{seed}")
    large_fractions = [0.22, 0.16, 0.12]  # half the bytes in three files
    medium_count = max(1, count // 15)
    small_count = max(1, count - medium_count - len(large_fractions))

    medium_raw = [rng.uniform(1.0, 16.0) for _ in range(medium_count)]
    medium_total = 0.40 * total
    medium = [int(x / sum(medium_raw) * medium_total) for x in medium_raw]

    small_raw = [math.exp(rng.uniform(math.log(512), math.log(256 << 10))) for _ in range(small_count)]
    small_total = 0.10 * total
    small = [max(1, int(x / sum(small_raw) * small_total)) for x in small_raw]
    # A few empty files: real games have them, and they are a chunking edge.
    for i in range(0, small_count, max(1, small_count // 4)):
        small[i] = 0

    large = [int(f * total) for f in large_fractions]
    sizes = large + medium + small
    sizes[0] += total - sum(sizes)  # the first large file takes the rounding
    if sizes[0] < 0:
        sys.exit("gen_game: --size is too small for that many files")
    files = []
    for i, size in enumerate(sizes):
        suffix = ".pak" if i < len(large) else (".bin" if size > (1 << 20) else ".dat")
        files.append((random_path(rng, i, suffix), size))
    rng.shuffle(files)
    return files


def generate(args):
    if os.path.exists(args.out) and os.listdir(args.out):
        sys.exit(f"gen_game: {args.out} is not empty")
    files = plan_files(args.size, args.files, args.seed)
    for i, (path, size) in enumerate(files):
        write_random(os.path.join(args.out, path), size, f"file:{args.seed}:{path}")
    json.dump({"files": len(files), "bytes": sum(s for _, s in files)}, sys.stdout)
    print()


def list_files(root):
    out = []
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            out.append((os.path.relpath(full, root).replace(os.sep, "/"), os.path.getsize(full)))
    out.sort()
    return out


def mutate(args):
    if os.path.exists(args.v2):
        sys.exit(f"gen_game: {args.v2} exists")
    shutil.copytree(args.v1, args.v2)
    rng = random.Random(f"mutate:{args.seed}")
    files = list_files(args.v2)
    cs = args.chunk_size
    total_chunks = sum(max(1, math.ceil(s / cs)) for _, s in files)

    # Whole chunks overwritten in place, in a few files, large ones first:
    # that is what a patch to a packed archive looks like.
    target = max(1, round(total_chunks * args.changed))
    candidates = sorted([f for f in files if f[1] >= 2 * cs], key=lambda f: -f[1])[:12]
    # A small game has few multi-chunk files: leave at least half of their
    # chunks as they were, so the patch still has something to match.
    target = min(target, sum(math.ceil(s / cs) for _, s in candidates) // 2)
    changed = 0
    changed_files = set()
    attempts = 0
    while changed < target and candidates and attempts < 100000:
        attempts += 1
        pool = candidates[:6] if rng.random() < 0.7 else candidates
        path, size = rng.choice(pool)
        n_chunks = math.ceil(size / cs)
        index = rng.randrange(n_chunks)
        for c in range(index, min(n_chunks, index + rng.randint(1, 4))):
            if (path, c) in changed_files or changed >= target:
                break
            offset = c * cs
            write_random(os.path.join(args.v2, path), min(cs, size - offset), f"chunk:{args.seed}:{path}:{c}",
                         offset=offset, create=False)
            changed_files.add((path, c))
            changed += 1

    # A patched file is newer than its old version, as after a real build;
    # quick-check tools (rsync) rely on that, and v1 may be seconds old.
    for path in {p for p, _ in changed_files}:
        full = os.path.join(args.v2, path)
        st = os.stat(full)
        os.utime(full, ns=(st.st_atime_ns, max(st.st_mtime_ns + 2_000_000_000, time.time_ns())))

    untouched = [f for f in files if f[0] not in {p for p, _ in changed_files}]
    rng.shuffle(untouched)
    renamed = untouched[:5]
    deleted = untouched[5:15]
    for path, _ in renamed:
        new = "renamed/" + path.replace("/", "_")
        os.makedirs(os.path.dirname(os.path.join(args.v2, new)), exist_ok=True)
        os.rename(os.path.join(args.v2, path), os.path.join(args.v2, new))
    for path, _ in deleted:
        os.remove(os.path.join(args.v2, path))
    added = []
    for i in range(10):
        size = rng.randint(1 << 10, 2 << 20)
        path = random_path(rng, 90000 + i, ".new")
        write_random(os.path.join(args.v2, path), size, f"added:{args.seed}:{path}")
        added.append((path, size))

    json.dump({
        "chunks_total": total_chunks,
        "chunks_overwritten": changed,
        "files_with_changed_chunks": len({p for p, _ in changed_files}),
        "renamed": len(renamed),
        "deleted": len(deleted),
        "added": len(added),
        "added_bytes": sum(s for _, s in added),
    }, sys.stdout)
    print()


def copy_range(src, dst, offset, length):
    src.seek(offset)
    while length > 0:
        block = src.read(min(BLOCK, length))
        if not block:
            sys.exit("gen_game: short read")
        dst.write(block)
        length -= len(block)


def moved(args):
    for folder in (args.v1, args.v2):
        if os.path.exists(folder) and os.listdir(folder):
            sys.exit(f"gen_game: {folder} is not empty")
    size, cs = args.size, args.chunk_size
    names = ["paks/inserted.pak", "paks/deleted.pak", "paks/copied.pak"]
    for name in names:
        write_random(os.path.join(args.v1, name), size, f"moved:{args.seed}:{name}")
    os.makedirs(os.path.join(args.v2, "paks"), exist_ok=True)
    edited = []  # (path, v2 size, offsets in v2 whose chunk holds an edit)
    inserted = random.Random(f"moved-insert:{args.seed}").randbytes(10)
    with open(os.path.join(args.v1, names[0]), "rb") as src, open(os.path.join(args.v2, names[0]), "wb") as dst:
        copy_range(src, dst, 0, 1 << 20)
        dst.write(inserted)
        copy_range(src, dst, 1 << 20, size - (1 << 20))
    edited.append((names[0], size + 10, list(range(1 << 20, (1 << 20) + 10))))
    with open(os.path.join(args.v1, names[1]), "rb") as src, open(os.path.join(args.v2, names[1]), "wb") as dst:
        copy_range(src, dst, 0, 5 << 20)
        copy_range(src, dst, (5 << 20) + 4096, size - (5 << 20) - 4096)
    # The join: the last byte before the cut and the first after it.
    edited.append((names[1], size - 4096, [(5 << 20) - 1, 5 << 20]))
    shutil.copyfile(os.path.join(args.v1, names[2]), os.path.join(args.v2, names[2]))
    with open(os.path.join(args.v1, names[2]), "rb") as src, \
            open(os.path.join(args.v2, "paks/copied-new.pak"), "wb") as dst:
        dst.write(b"\x01")
        copy_range(src, dst, 0, size)
    edited.append(("paks/copied-new.pak", size + 1, [0]))
    chunks = set()
    minimum_bytes = 0
    for path, v2_size, offsets in edited:
        first = {o // cs for o in offsets}
        # A join whose two bytes fall in different chunks is no edit of either.
        if len(offsets) == 2 and offsets[1] - offsets[0] == 1 and len(first) == 2:
            first = set()
        for index in first:
            chunks.add((path, index))
            minimum_bytes += min(cs, v2_size - index * cs)
    json.dump({"files": len(names), "file_bytes": size, "edits": 3, "minimum_objects": len(chunks),
               "minimum_bytes": minimum_bytes}, sys.stdout)
    print()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    g = sub.add_parser("generate", help="write a synthetic game")
    g.add_argument("out")
    g.add_argument("--size", type=parse_size, default=parse_size("2G"))
    g.add_argument("--files", type=int, default=1500)
    g.add_argument("--seed", type=int, default=1)
    m = sub.add_parser("mutate", help="make the next release from one")
    m.add_argument("v1")
    m.add_argument("v2")
    m.add_argument("--seed", type=int, default=2)
    m.add_argument("--chunk-size", type=parse_size, default=parse_size("1M"))
    m.add_argument("--changed", type=float, default=0.03, help="fraction of chunks to overwrite")
    mv = sub.add_parser("moved", help="three archives and a patch that moves their content")
    mv.add_argument("v1")
    mv.add_argument("v2")
    mv.add_argument("--size", type=parse_size, default=parse_size("256M"))
    mv.add_argument("--chunk-size", type=parse_size, default=parse_size("1M"))
    mv.add_argument("--seed", type=int, default=4)
    args = parser.parse_args()
    if args.command == "moved":
        moved(args)
    elif args.command == "generate":
        if args.files < 4:
            parser.error("--files must be at least 4")
        generate(args)
    else:
        mutate(args)


if __name__ == "__main__":
    main()
