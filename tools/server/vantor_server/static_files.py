"""The feed folder's files over HTTP, for the standard-library server only
(behind nginx, nginx serves them). GET and HEAD, no listings, and nothing
outside the folder: ".." segments are refused and every path is resolved
(links included) and must stay inside the folder's own resolved path."""

import mimetypes
import os

from .http_util import HttpError, status_line

_BLOCK = 256 * 1024
_TYPES = {".json": "application/json", ".html": "text/html; charset=utf-8", ".txt": "text/plain; charset=utf-8"}

NOT_FOUND = "There is nothing at this address."


def _request_path(environ):
    # PEP 3333 hands the percent-decoded path over as Latin-1 text; the bytes
    # behind it are the UTF-8 the client sent.
    raw = environ.get("PATH_INFO", "")
    try:
        return raw.encode("latin-1").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        raise HttpError(400, "That address is not valid.") from None


class StaticFiles:
    def __init__(self, root):
        self.root = os.path.realpath(root)

    def resolve(self, url_path):
        """The file a path names, or HttpError 404/400. Never a path outside
        the root."""
        parts = [p for p in url_path.split("/") if p not in ("", ".")]
        for part in parts:
            if part == ".." or "\\" in part or "\0" in part:
                raise HttpError(400, "That address is not valid.")
        target = os.path.realpath(os.path.join(self.root, *parts))
        if target != self.root and not target.startswith(self.root + os.sep):
            raise HttpError(404, NOT_FOUND)  # a link that leads out of the feed
        if os.path.isdir(target):
            target = os.path.join(target, "index.html")
        if not os.path.isfile(target):
            raise HttpError(404, NOT_FOUND)
        return target

    def __call__(self, environ, start_response):
        method = environ.get("REQUEST_METHOD", "")
        if method not in ("GET", "HEAD"):
            raise HttpError(405, "Use GET or HEAD here.", [("Allow", "GET, HEAD")])
        path = self.resolve(_request_path(environ))
        try:
            handle = open(path, "rb")
        except OSError:
            raise HttpError(404, NOT_FOUND) from None
        try:
            size = os.fstat(handle.fileno()).st_size
            extension = os.path.splitext(path)[1].lower()
            kind = _TYPES.get(extension) or mimetypes.guess_type(path)[0] or "application/octet-stream"
            start_response(status_line(200), [("Content-Type", kind), ("Content-Length", str(size))])
        except BaseException:
            handle.close()
            raise
        if method == "HEAD":
            handle.close()
            return [b""]
        wrapper = environ.get("wsgi.file_wrapper")
        if wrapper is not None:
            return wrapper(handle, _BLOCK)
        return _blocks(handle)


def _blocks(handle):
    with handle:
        while True:
            block = handle.read(_BLOCK)
            if not block:
                return
            yield block
