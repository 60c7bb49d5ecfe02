"""Shared code of the publishing tools: walking a content folder, cutting its
files into chunks, storing the chunks as content-addressed objects of a feed,
and writing the feed's JSON documents so that a reader never sees half of one.

The feed layout (all references inside it are relative):

    FEED/objects/<h[0:2]>/<h>          one chunk, named by its SHA-256
    FEED/manifests/<version>-<build>.json
    FEED/<channel>/latest.json
    FEED/addons/catalog.json
    FEED/addons/manifests/<id>-<version>.json

latest.json and catalog.json may be signed: a ".sig" file beside each holds
the Base64 of an ECDSA P-256 / SHA-256 signature of the document's exact bytes
as r and s (32 bytes each, big-endian), the form Windows's CNG reads. Signed
or not, both documents carry "serial" (grows with every publish) and
"expires" (UTC, RFC 3339), and pin every document they name by its SHA-256
and size, so a launcher that trusts the key installs exactly what was
published, never an older or a stale release.
"""

import base64
import datetime
import hashlib
import json
import os
import re
import sys
import tempfile
import time
import zlib

DEFAULT_CHUNK_SIZE = 1048576
MINIMUM_CHUNK_SIZE = 4096
MANIFEST_SCHEMA = 2

# The weak checksum of each chunk ("weak" in a file entry, one value per
# chunk), which lets the launcher find a chunk at any offset of its local
# files: zlib's CRC-32 and zlib's Adler-32 of the chunk, as 16 lowercase hex
# digits, CRC-32 first. The manifest names the kind once, as "weakKind".
WEAK_KIND = "crc32+adler32"

# Read files in blocks of at most this; a chunk up to SPOOL_LIMIT is kept in
# memory until its digest (and so its object name) is known, a larger one is
# spooled to a temporary object file instead.
READ_BLOCK = 1048576
SPOOL_LIMIT = 8 * 1048576

_ADDON_ID = re.compile(r"[a-z0-9_-]{1,64}")
_NAME_TEXT = re.compile(r"[A-Za-z0-9._+-]+")


class ReleaseError(Exception):
    """A publishing failure with a message meant for the person publishing."""


def is_valid_addon_id(text):
    """1 to 64 characters, each a-z, 0-9, "-" or "_" (the launcher's rule)."""
    return isinstance(text, str) and _ADDON_ID.fullmatch(text) is not None


def check_name_part(what, text):
    """A version, channel or build text that becomes part of a file name."""
    if not isinstance(text, str) or not _NAME_TEXT.fullmatch(text) or text in (".", ".."):
        raise ReleaseError(
            f"{what} {text!r} is not usable: use letters, digits, '.', '_', '+' and '-'")
    return text


def _stays_inside(slashed):
    parts = []
    for element in slashed.split("/"):
        if element in ("", "."):
            continue
        if element == "..":
            if not parts:
                return False
            parts.pop()
            continue
        parts.append(element)
    if not parts:
        return False
    first = parts[0]
    if len(first) >= 2 and first[1] == ":" and first[0].isascii() and first[0].isalpha():
        return False
    return not slashed.startswith("/") and not slashed.endswith("/")


def manifest_path_problem(path):
    """Why the launcher would refuse this manifest path, or None when it is fine.

    The launcher reads "/" and, as on Windows, "\\" as separators; a path must
    stay inside the installed folder either way.
    """
    if not path:
        return "the path is empty"
    if "\0" in path:
        return "the path holds a NUL character"
    try:
        path.encode("utf-8")
    except UnicodeEncodeError:
        return "the name is not valid UTF-8"
    if not _stays_inside(path):
        return "the path leaves the folder"
    if "\\" in path:
        slashed = path.replace("\\", "/")
        if not _stays_inside(slashed) or ".." in slashed.split("/"):
            return "the path leaves the folder when '\\' is read as a separator"
    return None


# Names the launcher keeps for itself in an installed folder: its record of
# what is installed (and that record's temporary companion) and the staging
# area of a sync. A release may not list them.
RESERVED_NAMES = ("manifest.json", "manifest.json.tmp")
RESERVED_FOLDER = ".staging"


def path_key(path):
    """The file a manifest path names, as the launcher compares paths: "." and
    empty elements dropped, ".." applied, so that "a//b" and "a/./b" are "a/b"."""
    parts = []
    for element in path.split("/"):
        if element in ("", "."):
            continue
        if element == ".." and parts and parts[-1] != "..":
            parts.pop()
            continue
        parts.append(element)
    return "/".join(parts)


def release_paths_problem(paths):
    """(path, why) for the first path the launcher's manifest check would refuse
    in a release listing `paths`, or None when it would accept them all.

    The same rules as the launcher: each path must stay inside the folder
    (read with "/" and, as on Windows, "\\" as separators), must not be one of
    the launcher's own names, may appear only once, and no file may also be
    the folder of another.
    """
    keys = {}
    for path in paths:
        problem = manifest_path_problem(path)
        if problem:
            return path, problem
        key = path_key(path)
        if key in RESERVED_NAMES or key.split("/")[0] == RESERVED_FOLDER:
            return path, "the launcher keeps this name for itself"
        if key in keys:
            return path, f"it names the same file as {keys[key]!r}"
        keys[key] = path
    for path in paths:
        parts = path_key(path).split("/")
        for i in range(1, len(parts)):
            folder = "/".join(parts[:i])
            if folder in keys:
                return path, f"{keys[folder]!r} is a file, so it cannot also be a folder"
    return None


def check_release_paths(paths):
    """Raises a ReleaseError naming the first path the launcher would refuse."""
    found = release_paths_problem(paths)
    if found:
        path, why = found
        raise ReleaseError(f"cannot publish {path!r}: {why}; the launcher would refuse the whole release")


def walk_content(root):
    """Every file under root as (relative "/"-separated path, full path), sorted.

    Only a top-level manifest.json (the installed-copy record) and .staging
    (an unfinished sync) are left out. Symbolic links are followed; a loop, a
    special file or a name the launcher would refuse stops the walk.
    """
    if not os.path.isdir(root):
        raise ReleaseError(f"{root} is not a folder")
    found = []

    def visit(folder, prefix, ancestors):
        real = os.path.realpath(folder)
        if real in ancestors:
            raise ReleaseError(f"{folder} links back to a folder above it")
        try:
            entries = sorted(os.scandir(folder), key=lambda e: e.name)
        except OSError as e:
            raise ReleaseError(f"cannot list {folder}: {e.strerror}") from e
        for entry in entries:
            if not prefix and entry.name in ("manifest.json", ".staging"):
                continue
            rel = prefix + entry.name
            if entry.is_dir(follow_symlinks=True):
                visit(entry.path, rel + "/", ancestors | {real})
            elif entry.is_file(follow_symlinks=True):
                problem = manifest_path_problem(rel)
                if problem:
                    raise ReleaseError(f"cannot publish {rel!r}: {problem}")
                found.append((rel, entry.path))
            else:
                raise ReleaseError(f"{entry.path} is not a regular file or folder")

    visit(root, "", frozenset())
    found.sort(key=lambda item: item[0])
    return found


def _fsync_folder(folder):
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_file_atomic(path, data):
    """Writes bytes under a temporary name beside path, syncs, then renames."""
    folder = os.path.dirname(path) or "."
    os.makedirs(folder, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    _fsync_folder(folder)


def json_bytes(value, indent=2):
    """The bytes write_json_atomic writes for value."""
    return (json.dumps(value, indent=indent, sort_keys=True, ensure_ascii=False) + "\n").encode("utf-8")


def write_json_atomic(path, value, indent=2):
    """Writes value as JSON (sorted keys) and returns the bytes written."""
    data = json_bytes(value, indent)
    write_file_atomic(path, data)
    return data


# Signing. The cryptography package (Debian's python3-cryptography) is needed
# only when signing, so an unsigned publish works without it.

SIGNATURE_SUFFIX = ".sig"
DEFAULT_EXPIRES_DAYS = 30


def _crypto():
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
    except ImportError as e:
        raise ReleaseError("signing needs Python's cryptography package "
                           "(Debian: python3-cryptography; scripts/setup.sh installs it)") from e
    return hashes, serialization, ec, utils


def new_signing_key():
    _, _, ec, _ = _crypto()
    return ec.generate_private_key(ec.SECP256R1())


def private_key_pem(key):
    _, serialization, _, _ = _crypto()
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def public_key_text(key):
    """Base64 of the uncompressed point (0x04, X, Y: 65 bytes), as the launcher trusts it."""
    _, serialization, _, _ = _crypto()
    point = key.public_key().public_bytes(serialization.Encoding.X962,
                                          serialization.PublicFormat.UncompressedPoint)
    return base64.b64encode(point).decode("ascii")


def load_signing_key(path):
    """The P-256 private key in the PEM file at path."""
    _, serialization, ec, _ = _crypto()
    try:
        with open(path, "rb") as f:
            pem = f.read()
    except OSError as e:
        raise ReleaseError(f"cannot read the signing key {path}: {e.strerror}") from e
    try:
        key = serialization.load_pem_private_key(pem, password=None)
    except (ValueError, TypeError) as e:
        raise ReleaseError(f"{path} is not an unencrypted PEM private key (make one with make_key.py)") from e
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise ReleaseError(f"{path} is not a P-256 key (make one with make_key.py)")
    return key


def sign_bytes(key, data):
    """Base64 of the raw r and s of an ECDSA signature of data with SHA-256."""
    hashes, _, ec, utils = _crypto()
    r, s = utils.decode_dss_signature(key.sign(data, ec.ECDSA(hashes.SHA256())))
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")).decode("ascii")


def next_serial(document, now=None):
    """The serial of the next publish of a document: above the one it has, and
    never below the current Unix time, so that a feed rebuilt from nothing
    still counts up from where launchers have seen it."""
    previous = document.get("serial") if isinstance(document, dict) else None
    if not isinstance(previous, int) or isinstance(previous, bool) or previous < 0:
        previous = 0
    clock = int(time.time() if now is None else now)
    return max(previous + 1, clock)


def expiry_text(days, now=None):
    """UTC time `days` from now, RFC 3339 with a "Z", whole seconds."""
    if not days > 0:
        raise ReleaseError("--expires-days must be more than 0")
    start = now or datetime.datetime.now(datetime.timezone.utc)
    try:
        moment = start + datetime.timedelta(days=days)
    except OverflowError as e:
        raise ReleaseError("--expires-days is too large") from e
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def stamp(document, expires_days):
    """Adds the next "serial" and a new "expires" to a feed document in place."""
    document["serial"] = next_serial(document)
    document["expires"] = expiry_text(expires_days)


def add_signing_arguments(parser, what):
    parser.add_argument("--signing-key", metavar="KEYFILE",
                        help=f"P-256 private key (PEM, from make_key.py): also write {what}.sig, the "
                             f"signature of {what}'s exact bytes that launchers trusting the key require")
    parser.add_argument("--expires-days", type=float, default=DEFAULT_EXPIRES_DAYS,
                        help=f"days until {what} expires (its \"expires\", default {DEFAULT_EXPIRES_DAYS}); "
                             "launchers that trust a key refuse it after that, so publish or refresh "
                             "again before then")


def _local_reference(folder, ref):
    """The file a relative reference of a document in folder names, or None for
    an absolute location (another server, which this tool cannot read)."""
    if not isinstance(ref, str) or not ref or "://" in ref or ref.startswith(("/", "\\", "file:")):
        return None
    return os.path.normpath(os.path.join(folder, ref))


def pin_missing(entry, folder):
    """Adds "manifestSha256" and "manifestSize" to an entry that names a
    manifest without them (published before documents were pinned), from the
    manifest file the feed holds. False when it cannot be pinned."""
    if not isinstance(entry, dict):
        return False
    if isinstance(entry.get("manifestSha256"), str) and isinstance(entry.get("manifestSize"), int):
        return True
    path = _local_reference(folder, entry.get("manifest"))
    if path is None:
        return False
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError:
        return False
    entry["manifestSha256"] = hashlib.sha256(data).hexdigest()
    entry["manifestSize"] = len(data)
    return True


def write_feed_document(path, document, key):
    """Writes a latest.json or catalog.json, then its signature beside it when
    key is given. Without a key a signature left from an earlier publish is
    removed: it could only ever fail to match."""
    data = write_json_atomic(path, document)
    signature_path = path + SIGNATURE_SUFFIX
    if key is not None:
        write_file_atomic(signature_path, (sign_bytes(key, data) + "\n").encode("ascii"))
    else:
        try:
            os.unlink(signature_path)
            print(f"warning: removed {signature_path}: this publish was not signed", file=sys.stderr)
        except FileNotFoundError:
            pass


def read_json_object(path):
    """The object stored at path, or None when there is no file.

    A file that exists but is not a JSON object is an error: rewriting it would
    lose whatever it held.
    """
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except FileNotFoundError:
        return None
    except OSError as e:
        raise ReleaseError(f"cannot read {path}: {e.strerror}") from e
    try:
        value = json.loads(raw.decode("utf-8-sig"))
    except (UnicodeDecodeError, ValueError) as e:
        raise ReleaseError(f"{path} is not valid JSON ({e}); fix or remove it first") from e
    return value


class ObjectStore:
    """FEED/objects: chunks named by their digest, each written once."""

    def __init__(self, feed):
        self.root = os.path.join(feed, "objects")
        self.written = set()
        self.reused = set()
        self._touched = set()

    def path_of(self, digest):
        return os.path.join(self.root, digest[:2], digest)

    def _present(self, digest, size):
        if digest in self.written or digest in self.reused:
            return True
        try:
            # A stored object of the wrong size was not written by us: replace it.
            if os.path.getsize(self.path_of(digest)) == size:
                self.reused.add(digest)
                return True
        except OSError:
            pass
        return False

    def _folder(self, digest):
        folder = os.path.dirname(self.path_of(digest))
        os.makedirs(folder, exist_ok=True)
        self._touched.add(folder)
        return folder

    def put_bytes(self, digest, data):
        if self._present(digest, len(data)):
            return
        self._folder(digest)
        write_file_atomic(self.path_of(digest), data)
        self.written.add(digest)

    def spool(self):
        """A temporary object file to stream a large chunk into."""
        os.makedirs(self.root, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=".spool-", suffix=".tmp", dir=self.root)
        return os.fdopen(fd, "wb"), tmp

    def put_spooled(self, digest, size, out, tmp):
        """Keeps a spooled chunk as the object digest, or drops it when present."""
        try:
            out.flush()
            if self._present(digest, size):
                return
            os.fsync(out.fileno())
            out.close()
            os.chmod(tmp, 0o644)
            folder = self._folder(digest)
            os.replace(tmp, self.path_of(digest))
            self.written.add(digest)
            _fsync_folder(folder)
        finally:
            if not out.closed:
                out.close()
            if os.path.exists(tmp):
                os.unlink(tmp)

    def sync(self):
        """Makes the new objects' folder entries durable before anything names them."""
        for folder in sorted(self._touched):
            _fsync_folder(folder)


def weak_text(crc, adler):
    return f"{crc:08x}{adler:08x}"


def chunk_file(full_path, rel_path, chunk_size, store):
    """Hashes one file and stores its chunks in a single streaming pass.

    Returns the manifest entry {path, size, sha256, chunks, weak}. An empty
    file has exactly one chunk, the digest of empty input, stored like any other.
    """
    whole = hashlib.sha256()
    chunks = []
    weak = []
    size = 0
    spool_chunks = chunk_size > SPOOL_LIMIT
    try:
        source = open(full_path, "rb")
    except OSError as e:
        raise ReleaseError(f"cannot read {full_path}: {e.strerror}") from e
    with source:
        while True:
            part = hashlib.sha256()
            crc = 0
            adler = 1
            length = 0
            blocks = []
            out = tmp = None
            if spool_chunks:
                out, tmp = store.spool()
            try:
                while length < chunk_size:
                    block = source.read(min(READ_BLOCK, chunk_size - length))
                    if not block:
                        break
                    length += len(block)
                    part.update(block)
                    whole.update(block)
                    crc = zlib.crc32(block, crc)
                    adler = zlib.adler32(block, adler)
                    if out is not None:
                        out.write(block)
                    else:
                        blocks.append(block)
                if length == 0 and chunks:
                    break  # the end fell on a chunk boundary
                digest = part.hexdigest()
                if out is not None:
                    store.put_spooled(digest, length, out, tmp)
                    out = None
                else:
                    store.put_bytes(digest, b"".join(blocks))
            finally:
                if out is not None:
                    out.close()
                    if os.path.exists(tmp):
                        os.unlink(tmp)
            chunks.append(digest)
            weak.append(weak_text(crc, adler))
            size += length
            if length < chunk_size:
                break
    return {"path": rel_path, "size": size, "sha256": whole.hexdigest(), "chunks": chunks, "weak": weak}


class Progress:
    """A line on standard error every few seconds while a publish runs."""

    def __init__(self, total_files, every=5.0):
        self.total = total_files
        self.every = every
        self.last = time.monotonic()

    def update(self, files_done, bytes_done):
        now = time.monotonic()
        if now - self.last >= self.every:
            self.last = now
            print(f"  {files_done}/{self.total} files, {bytes_done / 1e6:.1f} MB",
                  file=sys.stderr, flush=True)


def build_content(source, feed, chunk_size):
    """Chunks every file of source into FEED/objects.

    Returns (manifest file entries, total bytes, store).
    """
    if not isinstance(chunk_size, int) or chunk_size < MINIMUM_CHUNK_SIZE:
        raise ReleaseError(f"the chunk size must be at least {MINIMUM_CHUNK_SIZE} bytes")
    real_source = os.path.realpath(source)
    real_feed = os.path.realpath(feed)
    if real_feed == real_source or real_feed.startswith(real_source.rstrip(os.sep) + os.sep):
        raise ReleaseError("the feed folder must not lie inside the content folder")
    content = walk_content(source)
    # Checked before a single object is written.
    check_release_paths([rel for rel, _ in content])
    store = ObjectStore(feed)
    files = []
    total = 0
    progress = Progress(len(content))
    for index, (rel, full) in enumerate(content):
        entry = chunk_file(full, rel, chunk_size, store)
        files.append(entry)
        total += entry["size"]
        progress.update(index + 1, total)
    store.sync()
    return files, total, store


def manifest_document(version, build, chunk_size, objects, files):
    return {
        "build": build,
        "chunkSize": chunk_size,
        "files": files,
        "objects": objects,
        "schema": MANIFEST_SCHEMA,
        "version": version,
        "weakKind": WEAK_KIND,
    }


def write_manifest(path, manifest, replace):
    """Writes a release manifest, refusing to change a published one silently,
    and returns (sha256, size) of the bytes written, which the document naming
    it pins.

    Launchers that installed a version and build never look at it again, so
    other content under the same name would never reach them.
    """
    existing = read_json_object(path)
    if existing is not None and existing != manifest and not replace:
        raise ReleaseError(f"{path} already exists with other content; publish under a new "
                           "version or build (or pass --replace)")
    data = write_json_atomic(path, manifest, indent=1)
    return hashlib.sha256(data).hexdigest(), len(data)


def summary(what, files, total, store):
    return (f"{what}: {len(files)} files, {total} bytes, "
            f"{len(store.written)} new objects written, {len(store.reused)} objects reused")


def run(main):
    """Runs a tool's main, turning a ReleaseError into a message and exit code 1."""
    try:
        main()
    except ReleaseError as e:
        print(f"error: {e}", file=sys.stderr)
        sys.exit(1)
    except KeyboardInterrupt:
        # Every file is replaced by a rename, so the feed holds the old release
        # or the new one, never a half-written document or object.
        print("interrupted", file=sys.stderr)
        sys.exit(130)
