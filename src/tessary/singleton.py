"""Process-wide registry of the data-service client.

The prepared-data builder reads every factor through ``get_instance()``. Register a
client object once with ``set_instance(client)``; it must provide
``get_factors(factor=..., start_date=..., end_date=...)`` and
``get_index_daily(ukeys=..., start_date=..., end_date=...)``.
"""

from __future__ import annotations

import threading
from typing import Any

_lock = threading.Lock()
_instance: Any = None


def set_instance(client: Any) -> Any:
    """Register ``client`` as the data-service client; returns the previous one (or None)."""
    global _instance
    with _lock:
        previous, _instance = _instance, client
    return previous


def get_instance() -> Any:
    """The registered data-service client.

    Raises RuntimeError when none was registered, saying how to register one.
    """
    client = _instance
    if client is None:
        raise RuntimeError(
            "no data-service client is registered: call tessary.singleton.set_instance(client) "
            "with an object providing get_factors(factor=..., start_date=..., end_date=...) and "
            "get_index_daily(ukeys=..., start_date=..., end_date=...)"
        )
    return client
