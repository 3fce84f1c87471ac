"""``tessary-backtest factor FACTOR_FILE STORE``: rank ICs, groups and group backtests of
a factor; the command itself lives beside the factor package it drives."""

from __future__ import annotations

from typing import Any


def add_parser(commands: Any) -> None:
    from tessary.factor._command import register

    register(commands)
