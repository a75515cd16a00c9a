"""Output files: a result is either absent, its old version, or complete.

A regular file (also one reached through a symlink, which stays a symlink) is replaced in one
rename of a temporary file written beside it.  Anything else that can be opened for writing
(a FIFO, a terminal, a character device, or the file behind standard output) is written
straight through, since renaming over it would replace it with a regular file.  "-" is
standard output.  Errors name the path the user gave, never a temporary file.
"""
import contextlib
import errno
import os
import stat
import sys
import tempfile

STDOUT = "-"

# Read once: os.umask can only be read by setting it, which would race with other threads.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


def _error(e, path):
    """e as raised for path: the user's name instead of none or a temporary one."""
    return OSError(e.errno, e.strerror or str(e), path)


def _streams():
    """Identities of the files behind standard output and error."""
    ids = set()
    for fd in (1, 2):
        with contextlib.suppress(OSError):
            st = os.fstat(fd)
            ids.add((st.st_dev, st.st_ino))
    return ids


def _target(path):
    """('replace', file) for a regular file or a new one, ('through', path) for anything else.

    The kind is taken from stat, which follows links as opening does: /dev/stdout on a pipe
    is the pipe, where resolving the link by name would give no usable path.
    """
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return "replace", os.path.realpath(path)  # new, or a dangling symlink: create its target
    if stat.S_ISDIR(st.st_mode):
        raise IsADirectoryError(errno.EISDIR, "is a directory, not a file", path)
    if not stat.S_ISREG(st.st_mode) or (st.st_dev, st.st_ino) in _streams():
        return "through", path
    real = os.path.realpath(path)
    try:
        same = os.path.samestat(os.stat(real), st)
    except OSError:
        same = False
    # A link that names no path (/proc/self/fd/N of an unlinked file) is written through.
    return ("replace", real) if same else ("through", path)


def _probe(directory, path):
    """Whether a new file can be made in directory (or, for a missing one, where it would be made)."""
    parent = directory
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise NotADirectoryError(errno.ENOTDIR, f"{parent} is not a directory", path)
    try:
        fd, probe = tempfile.mkstemp(dir=parent, prefix=".kelp-check.", suffix=".tmp")
    except OSError as e:
        raise _error(e, path) from None
    os.close(fd)
    os.unlink(probe)


def check_output(path):
    """Raises OSError naming path when it cannot be written; creates and changes nothing."""
    path = os.fspath(path)
    if path == STDOUT:
        return
    try:
        kind, where = _target(path)
        if kind == "replace":
            _probe(os.path.dirname(where), path)
        elif not os.access(where, os.W_OK):
            raise PermissionError(errno.EACCES, "Permission denied", path)
    except OSError as e:
        raise _error(e, path) from None


def is_regular(path):
    """True when path is a regular file (or would be made one): what a log beside it suits."""
    path = os.fspath(path)
    return path != STDOUT and _target(path)[0] == "replace"


@contextlib.contextmanager
def atomic_write(path, binary=False):
    """Open path for writing: a temporary file that replaces it on success (regular files),
    the file itself (other kinds), or standard output ("-").

    On any failure a temporary file is removed and a regular file is left as it was.
    """
    path = os.fspath(path)
    if path == STDOUT:
        stream = sys.stdout.buffer if binary else sys.stdout
        yield stream
        stream.flush()
        return
    try:
        kind, where = _target(path)
    except OSError as e:
        raise _error(e, path) from None
    mode = {} if binary else {"encoding": "utf-8", "newline": ""}
    if kind == "through":
        try:
            f = open(path, "wb" if binary else "w", **mode)
        except OSError as e:
            raise _error(e, path) from None
        try:
            with f:
                yield f
        except OSError as e:
            raise (_error(e, path) if e.filename is None else e) from None
        return
    temporary, in_body = None, False
    try:
        directory = os.path.dirname(where)
        os.makedirs(directory, exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(where)}.", suffix=".tmp")
        # mkstemp makes the file private; results are ordinary files of the user.
        os.fchmod(fd, 0o666 & ~_UMASK)
        with open(fd, "wb" if binary else "w", **mode) as f:
            in_body = True
            yield f
            in_body = False
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, where)
    except BaseException as e:
        if temporary is not None:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        # Our own steps fail on the user's file; the caller's own errors keep their names.
        if isinstance(e, OSError) and (not in_body or e.filename is None):
            raise _error(e, path) from None
        raise
