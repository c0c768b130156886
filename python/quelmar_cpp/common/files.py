"""Whole-file outputs and the checks made before anything is written.

An output is written under a temporary name in its own folder and renamed over
its path once complete, so a run that is stopped or fails never leaves a
half-written file, and the previous file stays whole until then.
"""
from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from typing import Iterator, Sequence

from .errors import UsageError


def not_regular(path: str) -> bool:
    """Whether `path` exists as something other than a regular file (a folder, device or pipe)."""
    return os.path.exists(path) and not os.path.isfile(path)


def _not_replaced(path: str) -> FileExistsError:
    return FileExistsError(errno.EEXIST, "exists and is not a regular file, so it is not replaced", path)


def temporary_path(path: str, keep_suffix: str = "") -> str:
    """Where `path` is written before it is renamed into place: hidden, beside it (a rename
    within one file system is atomic) and named for this process; ending in `keep_suffix`
    where the writer needs the file's ending (the package compiler wants ``.pt2``)."""
    folder, name = os.path.split(os.path.abspath(path))
    if keep_suffix and name.endswith(keep_suffix):
        name = name[:-len(keep_suffix)]
    return os.path.join(folder, f".{name}.{os.getpid()}.tmp{keep_suffix}")


@contextlib.contextmanager
def replacing(paths: Sequence[str], keep_suffixes: Sequence[str] = ()) -> Iterator[list[str]]:
    """Yields a temporary path for each of `paths`; once the block completes, each is renamed
    over its path, in order. The temporary files are removed whatever happens.

    FileExistsError when a path is a folder, device or pipe, before the block or made during
    it: the rename would replace it.
    """
    for path in paths:
        if not_regular(path):
            raise _not_replaced(path)
    suffixes = list(keep_suffixes) + [""] * (len(paths) - len(keep_suffixes))
    temporary = [temporary_path(path, suffix) for path, suffix in zip(paths, suffixes)]
    try:
        yield temporary
        for path in paths:
            if not_regular(path):  # made while we wrote
                raise _not_replaced(path)
        for tmp, path in zip(temporary, paths):
            os.replace(tmp, path)
    finally:
        for tmp in temporary:
            if os.path.exists(tmp):
                os.unlink(tmp)


def write_atomically(path: str, write, binary: bool = False) -> None:
    """Writes `path` whole through write(file), on disk before it replaces the old file.

    FileExistsError when `path` is a folder, device or pipe: a rename would replace it.
    """
    with replacing([path]) as (tmp,):
        with open(tmp, "xb" if binary else "x", **({} if binary else {"encoding": "utf-8"})) as f:
            write(f)
            # On disk before it replaces anything: the rows' partial file goes once this is in place.
            f.flush()
            os.fsync(f.fileno())


def same_file(a: str, b: str) -> bool:
    """Whether two paths name one file: the same existing file (links included) or the same path."""
    try:
        return os.path.samefile(a, b)
    except OSError:
        return os.path.realpath(a) == os.path.realpath(b)


def check_writable(path: str | None, option: str) -> None:
    """UsageError unless `path` can be written whole, so no run ends unsaved: its folder exists and
    is writable, and it is no folder, device or pipe (which the final rename would replace)."""
    if not path:
        return
    if not_regular(path):
        raise UsageError(f"{option} {path}: exists and is not a regular file")
    folder = os.path.dirname(os.path.abspath(path))
    if not (os.path.isdir(folder) and os.access(folder, os.W_OK)):
        raise UsageError(f"{option} {path}: folder {folder} does not exist or is not writable")


def check_folder(folder: str, option: str) -> None:
    """UsageError unless `folder` is a folder, or can be made as one, that this process can write in."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError(f"{option} {folder}: exists and is not a folder")
    probe = folder
    while not os.path.exists(probe):
        probe = os.path.dirname(os.path.abspath(probe))
    if not os.path.isdir(probe):
        raise UsageError(f"{option} {folder}: cannot be created, {probe} is not a folder")
    try:
        # Permission bits do not tell (read-only mounts, ACLs): a file made and removed does.
        fd, name = tempfile.mkstemp(dir=probe, prefix=".write-check-")
        os.close(fd)
        os.unlink(name)
    except OSError as exc:
        raise UsageError(f"{option} {folder}: cannot write in {probe}: {exc.strerror}") from None


def make_folder(folder: str, option: str) -> None:
    """Creates `folder` and its parents where missing; UsageError naming `option` when it cannot."""
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError(f"{option} {folder}: exists and is not a folder")
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"{option} {folder}: cannot create it: {exc.strerror}") from None
