"""Rate limits: how many requests of a kind one client network or one
account may make in a period, and the arithmetic that decides.

Each limit is a generic cell rate: `count` requests per `period` seconds
means one request's worth of allowance comes back every period / count
seconds, up to `count` at once. Its whole state is one number per key, the
time at which the key's allowance is full again (stored in the database,
so every worker and server process sharing it shares the limits), and a
refusal knows exactly when the next request would pass: that becomes
Retry-After."""

import dataclasses
import math


@dataclasses.dataclass(frozen=True)
class Limit:
    count: int
    period: float

    @property
    def interval(self):
        return self.period / self.count


# name: (what it counts, default). The network is the client's IPv4
# address or IPv6 /64 (network.network_of).
DEFAULTS = {
    # Every sign-in from one network: a household of players mistyping.
    "signin-network": Limit(30, 600),
    # Failed sign-ins of one pilot name (a success gives its attempt back):
    # what stops guessing a password from many networks at once.
    "signin-account": Limit(10, 600),
    # New accounts from one network.
    "create-network": Limit(10, 3600),
    # New accounts made with one referral code, from any network.
    "create-referrer": Limit(100, 3600),
    # Usage events from one network: a launcher sends one per first run.
    "event-network": Limit(60, 3600),
    # Events naming one referral code, from any network.
    "event-referrer": Limit(600, 3600),
}


def parse(text, base=None):
    """The limits of `base` (default DEFAULTS) with those named in `text`
    replaced: "name=COUNT/SECONDS" or "name=off", comma-separated. Raises
    ValueError naming what is wrong. "off" drops the limit."""
    limits = dict(DEFAULTS if base is None else base)
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        name, sep, value = item.partition("=")
        name, value = name.strip(), value.strip()
        if not sep or name not in DEFAULTS:
            raise ValueError(f"{item!r}: the limits are {', '.join(DEFAULTS)}")
        if value == "off":
            limits.pop(name, None)
            continue
        count, sep, period = value.partition("/")
        if (not sep or not count.isascii() or not count.isdigit() or not period.isascii() or not period.isdigit()
                or int(count) < 1 or int(period) < 1):
            raise ValueError(f"{item!r}: write a limit as {name}=COUNT/SECONDS (both at least 1) or {name}=off")
        limits[name] = Limit(int(count), int(period))
    return limits


def decide(states, now):
    """One request against several keys at once: `states` is a list of
    (limit, stored time or None). Returns (True, new times) when every key
    allows it, else (False, seconds until all would)."""
    new = []
    wait = 0.0
    for limit, stored in states:
        full_at = max(stored if stored is not None else now, now) + limit.interval
        allowed_from = full_at - limit.period
        if allowed_from > now:
            wait = max(wait, allowed_from - now)
        new.append(full_at)
    if wait > 0:
        return False, wait
    return True, new


def given_back(limit, stored, now):
    """The stored time after one request's allowance is returned; None when
    the key is back to a full allowance (its row can go)."""
    if stored is None:
        return None
    back = stored - limit.interval
    return back if back > now else None


def retry_after(wait):
    """Whole seconds for the Retry-After header: never 0, never early."""
    return max(1, math.ceil(wait - 1e-9))


def in_words(seconds):
    """"30 seconds", "a minute", "5 minutes", "2 hours": the wait as a
    player reads it, rounded up."""
    if seconds < 60:
        return "a second" if seconds == 1 else f"{seconds} seconds"
    minutes = math.ceil(seconds / 60)
    if minutes < 120:
        return "a minute" if minutes == 1 else f"{minutes} minutes"
    return f"{math.ceil(minutes / 60)} hours"
