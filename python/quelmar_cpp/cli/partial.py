"""The rows of a run as they finish, kept in ``FILE.partial`` beside the ``--out`` file.

The first line is a header that identifies the run (its settings, environment,
model, plug-in and states); each further line is one finished row, in input
order as far as the rows are done. An interrupted run leaves the file behind,
and ``--resume`` continues from it once the header matches the command. A
command holds an exclusive lock on the file while it writes it, so that a
second command on the same ``--out`` is refused instead of mixing its rows in.
"""
from __future__ import annotations

import fcntl
import json
import os
import time
from typing import Callable

from .errors import UsageError

FORMAT = "quelmar_solve_partial"
# Rows are flushed as they are written, so they survive the process; fsync
# (which survives a crash of the machine) runs at most this often.
FSYNC_SECONDS = 1.0


def partial_path(out: str) -> str:
    return out + ".partial"


class Rows:
    """The rows of a run in input order; written to `path` as far as they are contiguous.

    `path` None keeps them in memory only. With `resume`, the rows already in
    the file are read back (after checking its header) and the file continues.
    `check(i, row)` describes why a row read back cannot be row i, or returns None.
    """

    def __init__(self, path: str | None, header: dict, resume: bool,
                 check: Callable[[int, dict], str | None]):
        self.path, self.rows, self.created, self.resumed = path, [], False, 0
        self._pending: dict[int, dict] = {}
        self._file = None
        self._synced = time.monotonic()
        if path is None:
            return
        header = {FORMAT: 1, **header}
        if resume:
            self._file = _open_locked(path, "r+b")
            try:
                self.rows, keep = _read(path, self._file.read(), header, check)
            except BaseException:
                self.close()
                raise
            # Drops a line torn by a kill in the middle of a write.
            self._file.truncate(keep)
            self._file.seek(keep)
            self.resumed = len(self.rows)
        else:
            self._file = _open_locked(path, "xb")
            self.created = True
            self._file.write((json.dumps(header) + "\n").encode())
            self._sync()

    def add(self, index: int, row: dict) -> None:
        """Row `index`: written, with any waiting rows that now follow on, or kept until its turn."""
        self._pending[index] = row
        start = len(self.rows)
        while len(self.rows) in self._pending:
            self.rows.append(self._pending.pop(len(self.rows)))
        if self._file and len(self.rows) > start:
            self._file.write("".join(json.dumps(r) + "\n" for r in self.rows[start:]).encode())
            self._file.flush()
            if time.monotonic() - self._synced >= FSYNC_SECONDS:
                self._sync()

    def close(self) -> None:
        if self._file:
            self._sync()
            self._file.close()
            self._file = None

    def discard_if_new_and_empty(self) -> None:
        """Removes the file when this run created it and no row reached it."""
        if self.created and not self.rows:
            os.unlink(self.path)
        self.close()

    def remove(self) -> None:
        """Removes the file once the complete rows are in place elsewhere."""
        if self.path:
            # Still locked: a command waiting to resume it finds it gone, not half removed.
            os.unlink(self.path)
            self.path = None
        self.close()

    def _sync(self) -> None:
        self._file.flush()
        os.fsync(self._file.fileno())
        self._synced = time.monotonic()


def _open_locked(path: str, mode: str):
    """`path` opened in `mode` ("xb": created) and locked against other commands; UsageError otherwise."""
    if "x" not in mode and not os.path.isfile(path):
        raise UsageError(f"--resume: {path} is not a regular file")
    try:
        file = open(path, mode)
    except FileExistsError:
        raise UsageError(f"{path} holds the rows of an unfinished run: add --resume to finish it, "
                         f"or remove the file to start afresh") from None
    except OSError as exc:
        raise UsageError(f"cannot open {path}: {exc.strerror}") from None
    try:
        fcntl.flock(file.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
        # The lock holds the file we opened; a finished run may have removed that one meanwhile.
        if not os.path.samestat(os.fstat(file.fileno()), os.stat(path)):
            raise FileNotFoundError
    except BlockingIOError:
        file.close()
        raise UsageError(f"{path} is being written by another solve command with the same --out") from None
    except FileNotFoundError:
        file.close()
        raise UsageError(f"{path} was finished by another solve command meanwhile") from None
    return file


def _read(path: str, data: bytes, header: dict, check) -> tuple[list[dict], int]:
    """The rows of a partial file's `data` if its header equals `header`, and the length of its
    complete lines."""
    # Only lines ending in a newline are complete; text after the last one is a torn write.
    lines = data.split(b"\n")[:-1]
    try:
        found = json.loads(lines[0]) if lines else None
    except ValueError:
        found = None
    if not isinstance(found, dict) or found.get(FORMAT) != 1:
        raise UsageError(f"--resume: {path} is not a partial file of the solve command")
    mismatch = _difference(found, header)
    if mismatch:
        raise UsageError(f"--resume: {path} is from another run: {mismatch}")
    rows = []
    for number, line in enumerate(lines[1:], 2):
        try:
            row = json.loads(line)
        except ValueError:
            row = None
        problem = "not a JSON row" if not isinstance(row, dict) else check(len(rows), row)
        if problem:
            raise UsageError(f"--resume: {path}:{number}: {problem}")
        rows.append(row)
    return rows, sum(len(line) + 1 for line in lines)


def _flat(header: dict) -> dict:
    flat = {k: v for k, v in header.items() if k != "runs"}
    for label, settings in header.get("runs", {}).items():
        flat.update({(name if len(header["runs"]) == 1 else f"{name} in run {label}"): value
                     for name, value in settings.items()})
    return flat


def _difference(found: dict, wanted: dict) -> str | None:
    """The first entry in which a partial file's header differs from this command's, in words."""
    found, wanted = _flat(found), _flat(wanted)
    missing = object()
    for key in dict.fromkeys([*wanted, *found]):
        old, new = found.get(key, missing), wanted.get(key, missing)
        if old != new:
            show = lambda v: "unset" if v is missing else json.dumps(v)
            return f"{key} is {show(new)} in this command but {show(old)} there"
    return None
