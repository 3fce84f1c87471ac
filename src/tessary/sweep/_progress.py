"""Progress of a sweep on stderr, counted in backtests (one per combination; rows of
a batch arrive together): a tqdm bar when tqdm is installed, otherwise a line every
tenth of the way."""

from __future__ import annotations

import sys
import time


class Progress:
    def __init__(self, total: int, description: str, enabled: bool = True) -> None:
        self.total, self.done, self.failed = total, 0, 0
        self._bar = None
        self._enabled = enabled
        self._started = time.perf_counter()
        self._next_line = 0
        if not enabled:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            print(f"{description}: {total} backtests", file=sys.stderr, flush=True)
            return
        self._bar = tqdm(total=total, desc=description, unit="backtest", file=sys.stderr, leave=False, dynamic_ncols=True)

    def advance(self, failed: bool) -> None:
        self.done += 1
        self.failed += bool(failed)
        if not self._enabled:
            return
        if self._bar is not None:
            if failed:
                self._bar.set_postfix_str(f"{self.failed} failed", refresh=False)
            self._bar.update(1)
        elif self.done >= self._next_line or self.done == self.total:
            self._next_line = self.done + max(1, self.total // 10)
            elapsed = time.perf_counter() - self._started
            extra = f", {self.failed} failed" if self.failed else ""
            print(f"  {self.done}/{self.total} done{extra} ({elapsed:.1f} s)", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
