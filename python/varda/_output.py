"""Outputs that appear only when complete.

An output is written under a fresh name beside its target, claimed
exclusively, and renamed into place at the end by a rename that refuses to
replace: a reader never meets half an output under the target's name, a
killed writer leaves only a name that says what it is, and of two writers
of one target exactly one wins.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import os
import secrets
import shutil

_AT_FDCWD = -100
_RENAME_NOREPLACE = 1
try:
    _renameat2 = ctypes.CDLL(None, use_errno=True).renameat2
except (OSError, AttributeError):
    _renameat2 = None


@contextlib.contextmanager
def creating(target, folder: bool = False, replace: bool = False):
    """Yields a new empty file (or folder) beside `target` to write the output
    in; when the block ends it becomes `target`, unless something else took
    that name meanwhile (or replacing it, if `replace`). Whatever fails, the
    temporary is removed."""
    target = os.path.normpath(os.fspath(target))
    if not replace and os.path.lexists(target):
        raise FileExistsError(f"{target} already exists; remove it or choose another name")
    temp = _temp_name(target)
    try:
        # Claimed inside the try: a signal just after still removes it.
        while not _claimed(temp, folder):
            temp = _temp_name(target)
        yield temp
        if not folder:
            _sync(temp)
        if replace:
            os.replace(temp, target)
        else:
            _rename_noreplace(temp, target, folder)
    except OSError as e:
        _remove(temp)
        if e.errno and (e.filename is None or str(e.filename).startswith(temp)):
            # Say which output failed, not which temporary name.
            raise OSError(e.errno, e.strerror, target) from None
        raise
    except BaseException:
        _remove(temp)
        raise


def _remove(path) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def _temp_name(target) -> str:
    head, name = os.path.split(target)
    return os.path.join(head, f".{name}.{secrets.token_hex(4)}.part")


def _claimed(path, folder: bool) -> bool:
    try:
        _make(path, folder)
    except FileExistsError:
        return False
    return True


def _make(path, folder: bool) -> None:
    if folder:
        os.mkdir(path)
    else:
        os.close(os.open(path, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))


def _sync(path) -> None:
    # A write the kernel could not complete shows here at the latest.
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _taken(target) -> FileExistsError:
    return FileExistsError(f"{target} was written by another process meanwhile; "
                           "this copy was discarded")


def _rename_noreplace(temp, target, folder: bool) -> None:
    if _renameat2 is not None:
        if _renameat2(_AT_FDCWD, os.fsencode(temp), _AT_FDCWD, os.fsencode(target),
                      _RENAME_NOREPLACE) == 0:
            return
        code = ctypes.get_errno()
        if code == errno.EEXIST:
            raise _taken(target)
        if code not in (errno.ENOSYS, errno.EINVAL, errno.EOPNOTSUPP):
            raise OSError(code, os.strerror(code), target)
    # No such rename here (an old kernel, a file system without it): claim
    # the name exclusively, then rename over the empty claim.
    try:
        _make(target, folder)
    except FileExistsError:
        raise _taken(target) from None
    try:
        os.rename(temp, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.rmdir(target) if folder else os.unlink(target)
        raise
