"""Atomic output: a result file is either absent, its old version, or complete."""
import contextlib
import os
import tempfile

# Read once: os.umask can only be read by setting it, which would race with other threads.
_UMASK = os.umask(0o022)
os.umask(_UMASK)


@contextlib.contextmanager
def atomic_write(path, binary=False):
    """Open a temporary file beside path; on success it replaces path in one rename.

    On any failure the temporary file is removed and path is left as it was.
    """
    path = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(path))
    os.makedirs(directory, exist_ok=True)
    fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.", suffix=".tmp")
    try:
        # mkstemp makes the file private; results are ordinary files of the user.
        os.fchmod(fd, 0o666 & ~_UMASK)
        with open(fd, "wb" if binary else "w", **({} if binary else {"encoding": "utf-8", "newline": ""})) as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
