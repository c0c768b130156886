"""The progress bar of a long command: a tqdm bar on an interactive stderr, else nothing."""
from __future__ import annotations

import sys


class Progress:
    """A tqdm bar on stderr when it is a terminal, the command is not quiet and tqdm is
    installed; otherwise it shows nothing, and `write` prints its lines to stdout.

    `bar` holds tqdm's own arguments (total, unit, bar_format, ...).
    """

    def __init__(self, quiet: bool, **bar):
        self.bar = None
        if quiet or not sys.stderr.isatty():
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        self.bar = tqdm(file=sys.stderr, dynamic_ncols=True, **bar)

    @property
    def visible(self) -> bool:
        """Whether a bar is shown (texts for it need not be made otherwise)."""
        return self.bar is not None

    def update(self, n: int = 1) -> None:
        """Counts `n` more done."""
        if self.bar is not None:
            self.bar.update(n)

    def show(self, done: int, text: str) -> None:
        """Sets the count done and the text beside the bar."""
        if self.bar is None:
            return
        self.bar.n = done
        self.bar.set_description_str(text, refresh=False)
        self.bar.update(0)  # redraws no more often than tqdm's own rate limit

    def write(self, line: str) -> None:
        """Prints a line above the bar, or to stdout without one."""
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
