"""Crash-safe file writes: a reader, or the next run after a crash, finds the
old file or the new one, never a torn one.

The data goes to a temporary file in the target's own folder (a rename is
atomic only within one file system), which is flushed and fsynced before it
is renamed over the target; then the folder is fsynced so that the rename
itself survives a power cut (an OSError if that sync fails: the new file is
in place, but may not be durable). A crash before the rename leaves the old file
and, at worst, a stray temporary file named ``.<name>.<random>.tmp`` beside
it; a crash after it leaves the new file.
"""

from __future__ import annotations

import contextlib
import errno
import os
import tempfile
from collections.abc import Iterator
from typing import BinaryIO

__all__ = ["atomic_writer", "write_atomic"]


def _fsync_folder(folder: str, target: str) -> None:
    # Folders cannot be opened for syncing on every platform (Windows refuses
    # it); where they cannot, the rename is as durable as the platform makes
    # it, and there is nothing more to do. A sync that fails is another
    # matter: the rename may be lost in a power cut, and the caller must know.
    flags = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0)
    try:
        fd = os.open(folder, flags)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError as exc:
        if exc.errno == errno.EINVAL:
            return  # a file system that cannot sync folders at all
        raise OSError(
            exc.errno,
            f"{target!r} is replaced, but syncing its folder failed ({exc.strerror}): "
            "the new file is in place but may not survive a power cut",
        ) from exc
    finally:
        os.close(fd)


def _umask() -> int:
    # Read where the system shows it: setting it to read it back would change
    # it for a moment under every other thread of the process.
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    return 0o022


@contextlib.contextmanager
def atomic_writer(path: str | os.PathLike[str]) -> Iterator[BinaryIO]:
    """A binary file to write the new content of `path` into. It replaces
    `path` when the block ends without an exception; if the block raises, the
    temporary file is removed and `path` is left as it was.

    A new file gets the permissions a plain ``open()`` would give it; an
    existing file keeps its own.
    """
    target = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(target))
    fd, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        try:
            mode = os.stat(target).st_mode & 0o7777
        except FileNotFoundError:
            mode = 0o666 & ~_umask()
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise
    _fsync_folder(folder, target)


def write_atomic(path: str | os.PathLike[str], data: bytes | bytearray | memoryview) -> None:
    """Replace the content of `path` with `data`, crash-safely."""
    with atomic_writer(path) as f:
        f.write(data)
