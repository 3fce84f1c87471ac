"""Progress on standard error for long work: tqdm bars, a one-step bar around work that
reports nothing itself, and a data-service client that advances a bar once per query.
Used by the build and by the command."""

from __future__ import annotations

import sys
from contextlib import contextmanager
from typing import Any

__all__ = ["progress_bar", "step", "ProgressClient", "registered_client"]


def progress_bar(**kwargs: Any):
    """A tqdm bar on standard error, erased when closed unless ``leave`` says otherwise."""
    from tqdm.auto import tqdm

    kwargs.setdefault("file", sys.stderr)
    kwargs.setdefault("leave", False)
    kwargs.setdefault("dynamic_ncols", True)
    return tqdm(**kwargs)


@contextmanager
def step(description: str):
    """A one-step progress bar (with elapsed time) around work that reports no progress itself."""
    bar = progress_bar(total=1, desc=description, bar_format="{desc}: {elapsed}")
    try:
        yield bar
        bar.update(1)
    finally:
        bar.close()


class ProgressClient:
    """Wraps a data-service client and advances a progress bar once per query."""

    def __init__(self, client: Any, bar: Any) -> None:
        self._client, self._bar = client, bar

    def _call(self, method: str, label: str, **kwargs: Any) -> Any:
        self._bar.set_postfix_str(label[:40], refresh=False)
        try:
            return getattr(self._client, method)(**kwargs)
        finally:
            self._bar.update(1)

    def get_factors(self, **kwargs: Any) -> Any:
        factor = kwargs.get("factor")
        label = factor if isinstance(factor, str) else f"{len(factor or [])} factors"
        return self._call("get_factors", label, **kwargs)

    def get_index_daily(self, **kwargs: Any) -> Any:
        return self._call("get_index_daily", "index bars", **kwargs)


@contextmanager
def registered_client(client: Any):
    """Registers ``client`` as the data-service client for the duration of the block."""
    from tessary import singleton

    previous = singleton.set_instance(client)
    try:
        yield client
    finally:
        singleton.set_instance(previous)
