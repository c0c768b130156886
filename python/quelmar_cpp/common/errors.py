"""The error every command reports as one line with exit status 2, and how it words others."""


class UsageError(Exception):
    """Bad arguments or input files: exit status 2."""


def one_line(exc: BaseException) -> str:
    """An exception as "Type: message" on one line (library messages may span several)."""
    return f"{type(exc).__name__}: {' '.join(str(exc).split())}"
