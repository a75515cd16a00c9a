"""The tool's own failures: each carries a message for the user, never a traceback."""


class ToolError(Exception):
    """A failure the user can act on; the command prints the message and exits non-zero."""

    exit_status = 1


class InputError(ToolError):
    """A malformed input file, setting or argument: says where (file, line) and what was expected."""

    exit_status = 2

    def __init__(self, message, path=None, line=None):
        where = ""
        if path is not None:
            where = f"{path}, line {line}: " if line is not None else f"{path}: "
        super().__init__(where + message)


class FitFailed(ToolError):
    """The fit ran but gave no usable result (a NaN error or parameter)."""
