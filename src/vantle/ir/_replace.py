"""Replacing a file's content in one step: readers see the old file or the new one, never a part.

The content goes to a temporary file beside the target, is flushed to the disk, and is renamed
over the target; the folder is then flushed too, so that the rename itself survives a power
loss. Temporaries are named ``.<target name>.<random>.partial``: a write that was killed may
leave one behind, it can never collide with a later write's, and the pattern tells what it is.
"""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import uuid
from typing import Optional

PARTIAL_SUFFIX = ".partial"

# Folder flushes that a file system does not support fail with these; nothing is lost then.
_UNSUPPORTED = {errno.EINVAL, errno.ENOTSUP, errno.EBADF}


def replace_file(path: str, payload: bytes) -> None:
    """Make ``payload`` the content of ``path``, atomically.

    A symbolic link is followed: its final target gets the new content and the link stays. An
    existing file keeps its permission bits; a new one gets those the umask leaves. On any
    exception the temporary file is removed and the earlier file is untouched.
    """
    target = _final_target(path)
    folder, name = os.path.split(target)
    mode = _existing_mode(target)
    temporary = os.path.join(folder, f".{name}.{uuid.uuid4().hex}{PARTIAL_SUFFIX}")
    # 0o666 lets the umask decide the permissions of a new file, as for any file created.
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)
    created = False
    try:
        handle = os.open(temporary, flags, 0o666)
        created = True
        with os.fdopen(handle, "wb") as stream:
            if mode is not None:
                os.chmod(stream.fileno() if os.chmod in os.supports_fd else temporary, mode)
            stream.write(payload)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(temporary, target)
    except BaseException:
        if created:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise
    _sync_folder(folder)


def _final_target(path: str) -> str:
    """``path`` with every symbolic link resolved; a dangling link names the file to create."""
    absolute = os.path.abspath(path)
    if not os.path.islink(absolute):
        return absolute
    try:
        return os.path.realpath(absolute, strict=True)
    except FileNotFoundError:
        return os.path.realpath(absolute)


def _existing_mode(target: str) -> Optional[int]:
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        return None


def _sync_folder(folder: str) -> None:
    try:
        handle = os.open(folder, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:  # a platform whose folders cannot be opened (Windows) orders renames itself
        return
    try:
        os.fsync(handle)
    except OSError as err:
        if err.errno not in _UNSUPPORTED:
            raise
    finally:
        os.close(handle)
