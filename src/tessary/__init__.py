"""tessary: compute core of an A-share equity backtest package."""

__version__ = "0.1.0"
