"""Exceptions and warning categories shared by the package and its data-service clients."""


class NetworkError(Exception):
    """The data service could not be reached or did not answer a query."""


class TessaryWarning(UserWarning):
    """Input that is legal but rarely meant: weights summing above 1 on a date
    (leverage against the fixed capital), negative weights (never traded), a market in
    which almost nothing can be bought, a benchmark without data."""


class StoreCorruptError(ValueError):
    """A store's file does not match its checksum (or is otherwise damaged): the load is
    refused rather than handing damaged data to a backtest. A ValueError, so that every
    caller that reports bad input in one line reports this too."""
