"""The JSON API under /api/: the live status, the account API and usage
events. Every answer is JSON; every refusal is {"error": text} with a text a
player can read. See tools/server/README.md for the table of requests."""

import re

from . import credentials
from .http_util import (HttpError, bearer_token, json_answer, parse_object, read_body, require_json,
                        text_member)
from .store import NameTaken

# The same rules the launcher's page checks before sending, and its texts.
_USERNAME = re.compile(r"[A-Za-z0-9_-]{3,20}")
USERNAME_RULE = "Pilot names are 3 to 20 letters, digits, - or _."
MIN_PASSWORD = 8
MAX_PASSWORD = 200
PASSWORD_TOO_SHORT = "Passwords are at least 8 characters."
PASSWORD_TOO_LONG = "Passwords are at most 200 characters."

NAME_TAKEN = "That pilot name is taken. Pick another one."
MISSING_SIGN_IN = "Enter your pilot name and password."
WRONG_SIGN_IN = "Wrong pilot name or password."
NOT_SIGNED_IN = "You are not signed in."
SIGN_IN_ENDED = "Your sign-in has expired. Sign in again."
NOT_FOUND = "There is nothing at this address."

_EVENT_NAME = re.compile(r"[a-z][a-z0-9_.-]{0,31}")
MAX_EVENT_REF = 256
MAX_EVENT_VERSION = 32

_BEARER = [("WWW-Authenticate", 'Bearer realm="vantor"')]


def _password_length(password):
    # Counted as the page counts (UTF-16 units), so every password the page
    # lets through is judged by the same measure here.
    return len(password.encode("utf-16-le")) // 2


class Api:
    def __init__(self, config, store):
        self.config = config
        self.store = store
        self.routes = {
            "/api/status": {"GET": self.status},
            "/api/account/signin": {"POST": self.sign_in},
            "/api/account/create": {"POST": self.create},
            "/api/account/signout": {"POST": self.sign_out},
            "/api/account/me": {"GET": self.me},
            "/api/event": {"POST": self.event},
        }

    def __call__(self, environ, start_response):
        """Unguarded: wrap with http_util.guarded (create_app does)."""
        methods = self.routes.get(environ.get("PATH_INFO", ""))
        if methods is None:
            raise HttpError(404, NOT_FOUND)
        handler = methods.get(environ.get("REQUEST_METHOD", ""))
        if handler is None:
            allowed = ", ".join(sorted(methods))
            raise HttpError(405, f"Use {allowed} here.", [("Allow", allowed)])
        status, payload, headers = handler(environ)
        return json_answer(start_response, status, payload, headers)

    # --- helpers

    def _json_request(self, environ):
        require_json(environ)
        return parse_object(read_body(environ))

    def _client(self, environ):
        if self.config.trust_proxy:
            forwarded = environ.get("HTTP_X_REAL_IP", "").strip()
            if forwarded:
                return forwarded[:64]
        return environ.get("REMOTE_ADDR", "") or "unknown"

    def _signed_in(self, token, profile):
        return 200, {"token": token, "profile": profile}, []

    # --- requests

    def status(self, environ):
        c = self.config
        answer = {"name": c.name, "playerCount": c.player_count, "maxPlayers": c.max_players}
        if c.address:
            answer["address"] = c.address
        return 200, answer, []

    def create(self, environ):
        body = self._json_request(environ)
        username = text_member(body, "username")
        password = text_member(body, "password")
        # Sent by every launcher, possibly empty; an older client without it
        # simply has no referral.
        ref = text_member(body, "ref", required=False)
        if not _USERNAME.fullmatch(username):
            raise HttpError(400, USERNAME_RULE)
        if _password_length(password) < MIN_PASSWORD:
            raise HttpError(400, PASSWORD_TOO_SHORT)
        if _password_length(password) > MAX_PASSWORD:
            raise HttpError(400, PASSWORD_TOO_LONG)
        # A cheap early answer for a taken name; create_account checks again
        # inside its transaction, which is what makes it safe.
        with self.store.session() as s:
            if s.find_account(username):
                raise HttpError(409, NAME_TAKEN)
        password_hash = credentials.hash_password(password)  # slow: outside any transaction
        with self.store.session() as s:
            try:
                account = s.create_account(username, password_hash, ref)
            except NameTaken:
                raise HttpError(409, NAME_TAKEN) from None
            token = s.issue_token(account, self.config.token_lifetime)
            return self._signed_in(token, s.profile(account))

    def sign_in(self, environ):
        body = self._json_request(environ)
        username = text_member(body, "username")
        password = text_member(body, "password")
        if not username or not password:
            raise HttpError(400, MISSING_SIGN_IN)
        with self.store.session() as s:
            found = s.find_account(username) if _USERNAME.fullmatch(username) else None
        if found is None:
            credentials.burn_password_time(password)
            raise HttpError(401, WRONG_SIGN_IN)
        account, password_hash = found
        if not credentials.verify_password(password, password_hash):
            raise HttpError(401, WRONG_SIGN_IN)
        with self.store.session() as s:
            token = s.issue_token(account, self.config.token_lifetime)
            return self._signed_in(token, s.profile(account))

    def sign_out(self, environ):
        require_json(environ)
        body = read_body(environ)
        if body.strip():
            parse_object(body)  # the launcher sends "{}"; anything else must still be an object
        token = bearer_token(environ)
        if not token:
            raise HttpError(401, NOT_SIGNED_IN, _BEARER)
        with self.store.session() as s:
            if not s.revoke_token(token):
                raise HttpError(401, SIGN_IN_ENDED, _BEARER)
        return 200, {"ok": True}, []

    def me(self, environ):
        token = bearer_token(environ)
        if not token:
            raise HttpError(401, NOT_SIGNED_IN, _BEARER)
        with self.store.session() as s:
            account = s.account_for_token(token)
            profile = s.profile(account) if account is not None else None
        if profile is None:
            raise HttpError(401, SIGN_IN_ENDED, _BEARER)
        return 200, {"profile": profile}, []

    def event(self, environ):
        body = self._json_request(environ)
        name = text_member(body, "event")
        ref = text_member(body, "ref", required=False)
        version = text_member(body, "version", required=False)
        if not _EVENT_NAME.fullmatch(name):
            raise HttpError(400, "That is not an event name.")
        if len(ref) > MAX_EVENT_REF:
            raise HttpError(400, '"ref" is too long.')
        if len(version) > MAX_EVENT_VERSION:
            raise HttpError(400, '"version" is too long.')
        with self.store.session() as s:
            credited = s.record_event(name, ref, version, self._client(environ))
        return 200, {"ok": True, "credited": credited}, []
