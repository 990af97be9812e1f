"""Up-front checks of the command line's arguments, so that a run never fails after hours of
replaying because of a target it could have refused at once."""
from __future__ import annotations

import os


class UsageError(ValueError):
    """An argument the command refuses; the message names the argument and says why."""


def overwrite_refusal(path: str) -> str:
    """The one wording every writing command uses when its target exists and --force was not
    given."""
    return f"refusing to overwrite {path} (use --force)"


def refuse_existing(path: str, force: bool) -> None:
    """Without `force`, refuses a target file that exists (anything but a directory: those are
    refused by the writability checks with their own reason)."""
    if not force and os.path.lexists(path) and not os.path.isdir(path):
        raise UsageError(overwrite_refusal(path))


def refuse_non_empty_dir(path: str, force: bool) -> None:
    """Without `force`, refuses a target directory that holds anything."""
    if not force and os.path.isdir(path):
        try:
            busy = any(True for _ in os.scandir(path))
        except OSError as exc:
            raise UsageError(f"{path}: cannot be read: {exc.strerror}") from None
        if busy:
            raise UsageError(overwrite_refusal(path))


def check_output_file(path: str, what: str, overwrite: bool = True) -> None:
    """`path` can be created (or, with `overwrite`, replaced) as a file: its directory exists
    and is writable, and it is not itself a directory or a read-only file. The recorder's own
    target check, so the command line refuses exactly what a recording would."""
    from tiderec.encoding import RecordingTargetError, check_target
    try:
        check_target(path, overwrite=overwrite)
    except RecordingTargetError as exc:
        raise UsageError(f"{what}: {exc}") from None


def check_output_dir(path: str, what: str) -> None:
    """`path` is a writable directory, or one that can be made in an existing directory."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise UsageError(f"{what} {path}: exists and is not a directory")
    if os.path.isdir(path):
        if not os.access(path, os.W_OK | os.X_OK):
            raise UsageError(f"{what} {path}: the directory is not writable")
        return
    parent = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(parent):
        raise UsageError(f"{what} {path}: the directory {parent} does not exist")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise UsageError(f"{what} {path}: the directory {parent} is not writable")


def check_not_input(target: str, source: str, what: str) -> None:
    """`target` is not the file `source` (which it would overwrite while it is read)."""
    try:
        same = os.path.samefile(target, source)
    except OSError:
        same = os.path.abspath(target) == os.path.abspath(source)
    if same:
        raise UsageError(f"{what} {target}: would overwrite the session it reads")


def check_plot_target(path: str) -> None:
    """A plot file: writable, and of a format the plotting library writes (by extension)."""
    from .report import check_plotting, plot_formats
    try:
        check_plotting()
    except ImportError as exc:
        raise UsageError(str(exc)) from None
    check_output_file(path, "--plot")
    ext = os.path.splitext(path)[1].lstrip(".").lower()
    formats = plot_formats()
    if ext not in formats:
        raise UsageError(f"--plot {path}: {'no file extension' if not ext else repr(ext)} is not a "
                         f"plot format (one of: {', '.join(sorted(formats))})")
