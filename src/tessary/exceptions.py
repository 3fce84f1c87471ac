"""Exceptions shared by the package and its data-service clients."""


class NetworkError(Exception):
    """The data service could not be reached or did not answer a query."""
