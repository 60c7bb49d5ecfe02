"""The JSON API under /api/: the live status, the account API and usage
events. Every answer is JSON; every refusal is {"error": text} with a text a
player can read. See tools/server/README.md for the table of requests."""

import re

from . import credentials, limits
from .http_util import (HttpError, bearer_token, json_answer, parse_object, read_body, require_json,
                        text_member)
from .network import ClientResolver, network_of
from .store import NameTaken, normalise_ref

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

# Refusals of the rate limits (429), each followed by " Try again in ...".
TOO_MANY_SIGN_INS = "Too many sign-in attempts."
TOO_MANY_ACCOUNTS = "Too many new accounts."
TOO_MANY_EVENTS = "Too many events."


def _password_length(password):
    # Counted as the page counts (UTF-16 units), so every password the page
    # lets through is judged by the same measure here.
    return len(password.encode("utf-16-le")) // 2


class Api:
    def __init__(self, config, store):
        self.config = config
        self.store = store
        self.hasher = credentials.Hasher(n=config.scrypt_n, slots=config.hash_slots)
        self.clients = ClientResolver(config.trust_proxy, config.trusted_proxies)
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

    def _limited(self, names_and_subjects):
        """(key, Limit) for each configured limit of [(name, subject)]; a
        name without a limit or an empty subject is left out."""
        wanted = []
        for name, subject in names_and_subjects:
            limit = self.config.limits.get(name)
            if limit is not None and subject:
                wanted.append((f"{name}:{subject}", limit))
        return wanted

    def _take(self, wanted, refusal):
        """Counts one request against `wanted`; 429 with Retry-After when a
        limit is reached (and then nothing is counted)."""
        if not wanted:
            return
        with self.store.session() as s:
            wait = s.take(wanted)
        if wait:
            seconds = limits.retry_after(wait)
            raise HttpError(429, f"{refusal} Try again in {limits.in_words(seconds)}.",
                            [("Retry-After", str(seconds))])

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
        network = network_of(self.clients.address(environ))
        self._take(self._limited([("create-network", network), ("create-referrer", normalise_ref(ref))]),
                   TOO_MANY_ACCOUNTS)
        # A cheap early answer for a taken name; create_account checks again
        # inside its transaction, which is what makes it safe.
        with self.store.session() as s:
            if s.find_account(username):
                raise HttpError(409, NAME_TAKEN)
        password_hash = self.hasher.hash(password)  # slow: outside any transaction
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
        valid_name = bool(_USERNAME.fullmatch(username))
        network = network_of(self.clients.address(environ))
        wanted = self._limited([("signin-network", network),
                                ("signin-account", username.lower() if valid_name else "")])
        self._take(wanted, TOO_MANY_SIGN_INS)
        with self.store.session() as s:
            found = s.find_account(username) if valid_name else None
        if found is None:
            self.hasher.burn_time(password)
            raise HttpError(401, WRONG_SIGN_IN)
        account, password_hash = found
        if not self.hasher.verify(password, password_hash):
            raise HttpError(401, WRONG_SIGN_IN)
        self._upgrade(account, password, password_hash)
        with self.store.session() as s:
            # Only failures count against the account: its player signing
            # in does not use up the attempts.
            for key, limit in wanted:
                if key.startswith("signin-account:"):
                    s.give_back(key, limit)
            token = s.issue_token(account, self.config.token_lifetime)
            return self._signed_in(token, s.profile(account))

    def _upgrade(self, account, password, password_hash):
        """Hashes the password again at today's cost when its stored hash
        was made with a lower one (the only moment the password is known)."""
        if not self.hasher.is_outdated(password_hash):
            return
        try:
            new_hash = self.hasher.hash(password)
        except credentials.HashBusy:
            return  # next time: the sign-in itself has succeeded
        with self.store.session() as s:
            s.replace_password_hash(account, password_hash, new_hash)

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
        client = self.clients.address(environ)
        network = network_of(client)
        self._take(self._limited([("event-network", network), ("event-referrer", normalise_ref(ref))]),
                   TOO_MANY_EVENTS)
        with self.store.session() as s:
            credited = s.record_event(name, ref, version, client, network)
        return 200, {"ok": True, "credited": credited}, []
