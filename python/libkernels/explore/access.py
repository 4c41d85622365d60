"""Who may use the explorer: the Host names it answers, and the token of open binds.

DNS rebinding: a web site can point a DNS name of its own at 127.0.0.1 (or at
any address this server listens on) and then read the server's answers as
its own.  The browser sends that name in the Host header, so the server
answers only Host names it was told about: localhost and the loopback
addresses, the address it listens on, and the names given with --allow-host.

A server listening on anything but a loopback address can be reached by
other computers; it then needs a token, made at start and printed in the
page's address (`?token=...`, as notebook servers do).  The page's first
request carries it in the URL and gets it back as a cookie that only this
site sends (SameSite=Strict, HttpOnly); scripts may send it as the
X-LK-Token header instead.
"""

from __future__ import annotations

import ipaddress
import secrets
from typing import Iterable, Mapping, Optional, Tuple

LOCAL_NAMES = ("127.0.0.1", "localhost", "[::1]")
TOKEN_COOKIE = "libkernels_token"
TOKEN_HEADER = "x-lk-token"


def host_name(header: str) -> str:
    """The host part of a Host header ('127.0.0.1', 'localhost', '[::1]'), lower case."""
    host = header.strip().lower()
    if host.startswith("["):
        return host[:host.find("]") + 1]
    return host.split(":")[0]


def written_as_host(address: str) -> str:
    """An address as a Host header writes it: IPv6 in brackets."""
    address = address.strip().lower()
    return f"[{address}]" if ":" in address and not address.startswith("[") else address


def is_loopback(address: str) -> bool:
    """Whether listening on `address` keeps the server to this computer."""
    address = address.strip().lower().strip("[]")
    if address == "localhost":
        return True
    try:
        return ipaddress.ip_address(address).is_loopback
    except ValueError:
        return False  # a name that may resolve to any address


def allowed_hosts(bind: str, extra: Iterable[str] = ()) -> Tuple[str, ...]:
    """The Host names a server listening on `bind` answers: loopback names, `bind`
    itself, and `extra` (--allow-host)."""
    names = list(LOCAL_NAMES) + [written_as_host(bind)] + [written_as_host(h) for h in extra]
    return tuple(dict.fromkeys(n for n in names if n))


def new_token() -> str:
    return secrets.token_urlsafe(24)


def token_given(token: str, query: Mapping[str, str], headers: Mapping[str, str],
                cookies: Mapping[str, str]) -> Optional[str]:
    """Where a request shows the token ('query', 'header', 'cookie'), or None."""
    for where, value in (("query", query.get("token")), ("header", headers.get(TOKEN_HEADER)),
                         ("cookie", cookies.get(TOKEN_COOKIE))):
        if value and secrets.compare_digest(value.encode(), token.encode()):
            return where
    return None
