"""How the solve command stops early: each is reported as one line."""
from ..common.errors import UsageError, one_line

__all__ = ["SolveError", "Stopped", "UsageError", "one_line"]


class SolveError(Exception):
    """A solver call failed: exit status 1."""


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived while solving: exit status 128 + the signal number.

    A BaseException, like KeyboardInterrupt, so that no ``except Exception`` swallows it.
    """

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum

