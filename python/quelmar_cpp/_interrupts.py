"""Ctrl-C while an extension module loads: held until it has loaded, then delivered."""
import contextlib
import signal
import threading


@contextlib.contextmanager
def held_while_loading():
    """Records SIGINT instead of raising KeyboardInterrupt, and raises the signal again at the end.

    Loading the backend opens LibTorch, which takes most of a second; a KeyboardInterrupt raised
    inside the binding library's module initialisation leaves it half made, and its teardown then
    crashes the interpreter. Only the main thread runs Python signal handlers.
    """
    if threading.current_thread() is not threading.main_thread() or signal.getsignal(signal.SIGINT) is None:
        yield
        return
    pending = []
    previous = signal.signal(signal.SIGINT, lambda signum, frame: pending.append(signum))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if pending:
            signal.raise_signal(signal.SIGINT)  # the caller's handler now: KeyboardInterrupt by default
