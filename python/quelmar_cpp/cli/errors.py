"""How the solve command stops early: each is reported as one line."""


class UsageError(Exception):
    """Bad arguments or input files: exit status 2."""


class SolveError(Exception):
    """A solver call failed: exit status 1."""


class Stopped(BaseException):
    """SIGINT or SIGTERM arrived while solving: exit status 128 + the signal number.

    A BaseException, like KeyboardInterrupt, so that no ``except Exception`` swallows it.
    """

    def __init__(self, signum: int):
        super().__init__(signum)
        self.signum = signum


def one_line(exc: BaseException) -> str:
    """An exception as "Type: message" on one line (library messages may span several)."""
    return f"{type(exc).__name__}: {' '.join(str(exc).split())}"
