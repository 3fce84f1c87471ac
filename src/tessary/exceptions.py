"""Exceptions and warning categories shared by the package and its data-service clients."""


class NetworkError(Exception):
    """The data service could not be reached or did not answer a query."""


class TessaryWarning(UserWarning):
    """Input that is legal but rarely meant: weights summing above 1 on a date
    (leverage against the fixed capital), negative weights (never traded), a market in
    which almost nothing can be bought, a benchmark without data."""
