"""What the integrator says while the tool works: DLSODA's messages and the fit's evaluations.

DLSODA reports trouble (too many steps, a failing Newton iteration) on standard output, tens
of thousands of lines for a badly chosen setting.  The tool routes them, per thread, into a
log of its own instead, so that standard output carries only the tool's output; it counts
them for the result and the terminal, and counts the fit's residual evaluations for the
progress display.
"""
import contextlib
import os
import shutil
import tempfile

from kelp.files import atomic_write


def _watch_type():
    try:
        from kelp.core import _core as _forward
    except ImportError:
        return None
    return getattr(_forward, "Watch", None)


# A fit whose every integration fails can make DLSODA write millions of messages: the first
# HEAD_MESSAGES reach the log as written, of the rest the last TAIL_BYTES are kept, and all are
# counted, so that no input can fill a disk.
HEAD_MESSAGES = 2000
TAIL_BYTES = 64 * 1024


class IntegratorWatch:
    """Collects the messages of the integrations run inside attached() on any thread.

    fd: where the messages go (standard error: 2); by default an anonymous temporary file,
    copied to a log by save_log.  Without the forward-model module nothing is collected:
    messages then stay on standard output and the counts are None.  Only the first
    HEAD_MESSAGES messages reach fd; the log ends with the last TAIL_BYTES of the others.
    """

    def __init__(self, fd=None):
        watch = _watch_type()
        self._file = None
        self._closed = None  # (messages, evaluations) once closed
        self._carried = (0, 0)  # counts made in another process (a cluster worker's fit)
        if watch is not None and fd is None:
            self._file = tempfile.TemporaryFile()
            fd = self._file.fileno()
        self._watch = watch(fd, head=HEAD_MESSAGES, tail_bytes=TAIL_BYTES) if watch is not None else None
        self._fd = fd

    @contextlib.contextmanager
    def attached(self):
        """Route this thread's integrator messages here and count its evaluations."""
        if self._closed is not None:
            raise RuntimeError("the integrator watch is closed")
        if self._watch is None:
            yield self
            return
        with self._watch:
            yield self

    @property
    def messages(self):
        if self._closed is not None:
            return self._closed[0]
        return None if self._watch is None else self._watch.messages + self._carried[0]

    @property
    def evaluations(self):
        if self._closed is not None:
            return self._closed[1]
        return None if self._watch is None else self._watch.evaluations + self._carried[1]

    def __getstate__(self):
        """A result fitted on a cluster worker travels with its counts and its log's text, not
        with the worker's descriptors."""
        log = b""
        if self._closed is None and self._file is not None:
            self._file.flush()
            self._file.seek(0)
            log = self._file.read() + self._tail_note()
        return {"messages": self.messages, "evaluations": self.evaluations, "log": log}

    def __setstate__(self, state):
        # A live watch here, holding what the worker collected, so that the figure drawn in
        # this process adds its own messages as a local batch's would.
        self.__init__()
        if self._watch is None:
            self._closed = (state["messages"], state["evaluations"])
            return
        self._carried = (state["messages"] or 0, state["evaluations"] or 0)
        if state["log"]:
            self._file.write(state["log"])
            self._file.flush()

    def close(self):
        """Keep the counts, give back the two descriptors: a batch keeps every result."""
        if self._closed is None:
            self._closed = (self.messages, self.evaluations)
            self._watch = None
            if self._file is not None:
                self._file.close()
                self._file = None

    def save_log(self, path):
        """Write the collected messages to path when there are any; otherwise remove an old log
        there (it describes results that are being replaced).  Returns the path, or None."""
        if self._closed is not None:
            raise RuntimeError("the integrator watch is closed")
        if not self.messages or self._file is None:
            with contextlib.suppress(FileNotFoundError, IsADirectoryError, NotADirectoryError):
                if os.path.isfile(path) and not os.path.islink(path):
                    os.unlink(path)
            return None
        self._file.flush()
        self._file.seek(0)
        with atomic_write(path, binary=True) as f:
            shutil.copyfileobj(self._file, f)
            f.write(self._tail_note())
        return path

    def _tail_note(self):
        """What the bound left out, and the kept end of the messages (bytes)."""
        written = self._watch.messages if self._watch is not None else 0
        if written <= HEAD_MESSAGES:
            return b""
        return (f"\n[kelp: {written - HEAD_MESSAGES} more messages of DLSODA were counted but not kept "
                f"(the log holds the first {HEAD_MESSAGES}); the end of them follows]\n").encode() + self._watch.tail()

    def flush_tail(self):
        """Write the bound's note and the kept end of the messages to fd (when fd is not a log)."""
        note = self._tail_note()
        if note and self._file is None and self._watch is not None and self._fd is not None:
            os.write(self._fd, note)

    def summary(self, where):
        """One line for the terminal, or None when the integrator said nothing."""
        if not self.messages:
            return None
        return f"integrator: DLSODA wrote {self.messages} message{'s' if self.messages != 1 else ''} ({where})"
