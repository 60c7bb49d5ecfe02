"""The request and answer plumbing every part of the server shares: capped
body reading, strict JSON, member checks, JSON answers, and the catch-all
that turns any failure into a readable JSON error instead of a stack trace."""

import http
import json
import sys
import traceback

# The largest request body read. Account and event requests are a few
# hundred bytes; nothing legitimate comes close.
MAX_BODY = 16 * 1024
# A too-large body up to this size is read and dropped before the refusal,
# so the client is not cut off mid-upload and does see the 413.
_DRAIN_LIMIT = 1024 * 1024
_BLOCK = 64 * 1024

SERVER_FAULT = "The server had a problem. Try again in a moment."
SERVER_BUSY = "The server is busy. Try again in a moment."


class HttpError(Exception):
    """An answer other than success: the status and the text a player reads."""

    def __init__(self, status, message, headers=()):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = list(headers)


def status_line(status):
    return f"{status} {http.HTTPStatus(status).phrase}"


def json_answer(start_response, status, payload, headers=(), exc_info=None):
    body = json.dumps(payload, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode("utf-8")
    # exc_info lets an error replace an answer whose head was begun but not
    # sent (a head already sent makes start_response raise again: the
    # server then drops the connection, which is all that is left to do).
    start_response(status_line(status), [
        ("Content-Type", "application/json; charset=utf-8"),
        ("Content-Length", str(len(body))),
        ("Cache-Control", "no-store"),
        ("X-Content-Type-Options", "nosniff"),
        *headers,
    ], exc_info)
    return [body]


def error_answer(start_response, error, exc_info=None):
    return json_answer(start_response, error.status, {"error": error.message}, error.headers, exc_info)


def _read_exactly(stream, length):
    parts = []
    left = length
    while left > 0:
        part = stream.read(min(left, _BLOCK))
        if not part:
            break
        parts.append(part)
        left -= len(part)
    return b"".join(parts)


def read_body(environ):
    """The request body, at most MAX_BODY bytes; HttpError 413 when larger,
    400 when the length is unreadable or the body ends early."""
    stream = environ["wsgi.input"]
    length_text = environ.get("CONTENT_LENGTH", "").strip()
    if length_text:
        if not length_text.isdigit():
            raise HttpError(400, "The request's length is unreadable.")
        length = int(length_text)
        if length > MAX_BODY:
            if length <= _DRAIN_LIMIT:
                _read_exactly(stream, length)
            raise HttpError(413, "That request is too large.")
        body = _read_exactly(stream, length)
        if len(body) != length:
            raise HttpError(400, "The request ended early.")
        return body
    if "chunked" in environ.get("HTTP_TRANSFER_ENCODING", "").lower():
        # Only a server that ends the input for us can be read without a
        # length (gunicorn can; the standard library's cannot).
        if not environ.get("wsgi.input_terminated"):
            raise HttpError(411, "Send the request's length.")
        body = _read_exactly(stream, MAX_BODY + 1)
        if len(body) > MAX_BODY:
            raise HttpError(413, "That request is too large.")
        return body
    return b""


def _refuse_constant(name):
    raise ValueError(f"{name} is not JSON")


def parse_object(body):
    """The JSON object a body holds; HttpError 400 for anything else (not
    UTF-8, not JSON, NaN or Infinity, nesting too deep, not an object)."""
    try:
        value = json.loads(body.decode("utf-8"), parse_constant=_refuse_constant)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise HttpError(400, "The request is not valid JSON.") from None
    if not isinstance(value, dict):
        raise HttpError(400, "The request must be a JSON object.")
    return value


def require_json(environ):
    media = environ.get("CONTENT_TYPE", "").split(";")[0].strip().lower()
    if media != "application/json":
        raise HttpError(415, "Send the request as JSON (Content-Type: application/json).")


def text_member(obj, key, required=True):
    """The member `key` as text: HttpError 400 when it is missing (and
    required), not a string, or not encodable (a lone surrogate escape)."""
    if key not in obj:
        if required:
            raise HttpError(400, f'The request has no "{key}".')
        return ""
    value = obj[key]
    if not isinstance(value, str):
        raise HttpError(400, f'"{key}" must be text.')
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise HttpError(400, f'"{key}" is not valid text.') from None
    return value


def bearer_token(environ):
    """The token of an "Authorization: Bearer ..." header, or ""."""
    scheme, _, token = environ.get("HTTP_AUTHORIZATION", "").strip().partition(" ")
    return token.strip() if scheme.lower() == "bearer" else ""


def guarded(app, is_busy=lambda error: False):
    """Wraps a WSGI application so that nothing it raises reaches the
    server: an HttpError becomes its JSON answer, an error `is_busy` knows
    (a locked or unreachable database) 503, and anything else 500 with a
    plain sentence, the trace going to stderr."""

    def guarded_app(environ, start_response):
        try:
            return app(environ, start_response)
        except HttpError as error:
            return error_answer(start_response, error, sys.exc_info())
        except Exception as error:  # noqa: BLE001 - this is the boundary
            if is_busy(error):
                # Logged in one line: a database that cannot be reached is
                # an operator's business, a lock that timed out may be too.
                print(f"vantor-server: busy: {type(error).__name__}: {str(error).strip()[:300]}",
                      file=sys.stderr, flush=True)
                busy = HttpError(503, SERVER_BUSY, [("Retry-After", "1")])
                return error_answer(start_response, busy, sys.exc_info())
            method = environ.get("REQUEST_METHOD", "?")
            path = environ.get("PATH_INFO", "?")
            print(f"vantor-server: {method} {path} failed\n{traceback.format_exc()}", file=sys.stderr, flush=True)
            return error_answer(start_response, HttpError(500, SERVER_FAULT), sys.exc_info())

    return guarded_app
