"""Who may connect to the receiver: an allow-list of addresses and networks, and TLS with client certificates.

``AllowList(["10.0.0.0/8", "192.0.2.7", "::1"])`` admits a peer whose
address is in one of the networks (a lone address is a network of one);
an IPv4 peer seen through an IPv6 socket (``::ffff:10.1.2.3``) is checked as
the IPv4 address it is. An empty list admits everyone.

``server_context(cert, key, client_ca)`` is the TLS context of the
receiver; with ``client_ca`` every client must present a certificate that
this authority signed and that is valid now, or the handshake fails.
"""

from __future__ import annotations

import ipaddress
import ssl
from collections.abc import Iterable

__all__ = ["AllowList", "server_context"]

Network = ipaddress.IPv4Network | ipaddress.IPv6Network


class AllowList:
    """Addresses and networks allowed to connect; empty: everyone."""

    def __init__(self, entries: Iterable[str] = ()) -> None:
        networks: list[Network] = []
        for entry in entries:
            for item in entry.split(","):
                text = item.strip()
                if not text:
                    continue
                try:
                    networks.append(ipaddress.ip_network(text, strict=False))
                except ValueError:
                    raise ValueError(
                        f"not an address or network: {text!r} (say 10.0.0.0/8 or 192.0.2.7)"
                    ) from None
        self.networks = tuple(networks)

    def __bool__(self) -> bool:
        return bool(self.networks)

    def __str__(self) -> str:
        return ", ".join(str(network) for network in self.networks) or "everyone"

    def admits(self, host: str) -> bool:
        """Whether a peer at ``host`` (an address as the socket reports it) may connect."""
        if not self.networks:
            return True
        try:
            address = ipaddress.ip_address(host.split("%", 1)[0])
        except ValueError:
            return False  # not an IP peer (a Unix socket has no address to admit)
        if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
            address = address.ipv4_mapped
        return any(address.version == network.version and address in network for network in self.networks)


def server_context(cert: str, key: str | None, client_ca: str | None = None) -> ssl.SSLContext:
    """The receiver's TLS context: its certificate and key; with ``client_ca``, client certificates required.

    Raises ``OSError`` or ``ssl.SSLError`` for a file that cannot be read or used.
    """
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    context.load_cert_chain(cert, key)
    if client_ca is not None:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(cafile=client_ca)
    return context
