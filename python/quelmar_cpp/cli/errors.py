"""The solve command's failures, each reported as one line."""


class UsageError(Exception):
    """Bad arguments or input files: exit status 2."""


class SolveError(Exception):
    """A solver call failed: exit status 1."""

