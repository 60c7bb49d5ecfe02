"""Builds the server's WSGI application from its configuration."""

import time

from . import http_util
from .api import Api
from .credentials import HashBusy
from .static_files import StaticFiles
from .store import Store


def create_app(config, feed_dir=None, clock=time.time):
    """The API under /api/ and, with `feed_dir`, that folder's files at every
    other path (else 404). Creates the database's tables when they are
    missing. `clock` gives the time in seconds (tests move it to expire
    tokens and refill rate limits)."""
    store = Store(config, clock)
    store.initialise()
    api = Api(config, store)
    files = StaticFiles(feed_dir) if feed_dir else None

    def app(environ, start_response):
        path = environ.get("PATH_INFO", "")
        if path == "/api" or path.startswith("/api/"):
            return api(environ, start_response)
        if files is None:
            raise http_util.HttpError(404, "There is nothing at this address.")
        return files(environ, start_response)

    return http_util.guarded(app, lambda error: isinstance(error, HashBusy) or store.is_busy(error))
