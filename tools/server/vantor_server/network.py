"""Who a request comes from: the client's address, and the network that
counts as one client for rate limits and install credits.

Behind our nginx the connection comes from nginx, so the client's address
is the X-Real-IP header nginx sets (`proxy_set_header X-Real-IP
$remote_addr`, which replaces whatever a client sent under that name).
That header is believed only when the server was told it runs behind a
proxy and the connection itself comes from one: a Unix socket (only local
processes allowed by the socket's permissions reach it) or an address
listed as a trusted proxy. Anything else could name any address it likes.
X-Forwarded-For is never read: nginx's usual setting appends to the
client's own list, whose first entries the client chose."""

import ipaddress
import sys

# What an address that is not an IP (nginx on a Unix socket says "unix:")
# is cut to before it becomes a key.
_MAX_TEXT = 64
_HOST_BITS = 64  # an IPv6 /64 is one subscriber's network


def parse_proxies(text):
    """The trusted proxies of a comma-separated list of addresses and
    networks ("10.0.0.5, 10.1.0.0/16, fd00::/8"); ValueError names a bad one."""
    out = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            continue
        try:
            out.append(ipaddress.ip_network(item, strict=False))
        except ValueError:
            raise ValueError(f"{item!r} is not an address or network") from None
    return tuple(out)


def _ip(text):
    try:
        ip = ipaddress.ip_address(text)
    except ValueError:
        return None
    if ip.version == 6:
        if ip.ipv4_mapped:
            return ip.ipv4_mapped
        if ip.scope_id:
            ip = ipaddress.IPv6Address(int(ip))
    return ip


def _from_trusted_proxy(peer, proxies):
    # gunicorn gives a Unix socket's peer as an empty address.
    if peer == "":
        return True
    ip = _ip(peer)
    return ip is not None and any(ip in network for network in proxies)


class ClientResolver:
    def __init__(self, trust_proxy, proxies=()):
        self.trust_proxy = trust_proxy
        self.proxies = tuple(proxies)
        self._warned = False

    def address(self, environ):
        """The client's address as text (canonical for an IP)."""
        peer = environ.get("REMOTE_ADDR", "")
        if self.trust_proxy:
            forwarded = environ.get("HTTP_X_REAL_IP", "").strip()
            if _from_trusted_proxy(peer, self.proxies):
                if forwarded:
                    return canonical(forwarded)
            elif forwarded and not self._warned:
                self._warned = True
                print(f"vantor-server: X-Real-IP from {peer!r}, which is not a trusted proxy, is ignored"
                      " (VANTOR_SERVER_TRUSTED_PROXIES lists them)", file=sys.stderr, flush=True)
        return canonical(peer) if peer else "unknown"


def canonical(address):
    ip = _ip(address)
    return str(ip) if ip is not None else address[:_MAX_TEXT]


def network_of(address):
    """The key of the client network an address belongs to: an IPv4 address
    itself (an IPv4-mapped IPv6 address counts as its IPv4 address), the /64
    of an IPv6 address ("2001:db8:1:2::/64"), or the text itself when it is
    not an IP."""
    ip = _ip(address)
    if ip is None:
        return address[:_MAX_TEXT] or "unknown"
    if ip.version == 4:
        return str(ip)
    prefix = int(ip) >> _HOST_BITS << _HOST_BITS
    return str(ipaddress.IPv6Network((prefix, 128 - _HOST_BITS)))
