"""``tessary-backtest factor``: rank ICs, groups and group backtests of a factor file;
the command itself lives beside the factor research (tessary.factor._command)."""

from tessary.factor._command import add_parser, run

__all__ = ["add_parser", "run"]
