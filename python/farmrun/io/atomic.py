"""Result files: checked before any solving, written whole or not at all.

Every command that writes files checks each output path with
``check_output_path`` before it computes anything, builds every output in
memory, and only then writes them with ``write_outputs`` (or one of the
single-file writers). Files are first written under a temporary name in the
target's folder and renamed over the target once complete, so a reader never
sees half a file. They are created with mode 0666 less the user's umask
(0644 under umask 022), as any other program's output would be.
"""
from __future__ import annotations

import io
import json
import os
import secrets
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Mapping

from ..errors import FarmError

__all__ = ["check_output_path", "check_output_paths", "json_bytes", "open_atomic",
           "write_bytes_atomic", "write_json_atomic", "write_outputs"]


def check_output_path(option: str, path) -> Path:
    """Raises FarmError(option, ...) unless a file can be written at ``path``: its
    folder exists and takes a new file, and the path is not a folder or
    anything else but a regular file."""
    text = os.fspath(path)
    if not text:
        raise FarmError(option, "expected a file name, got an empty path")
    p = Path(text)
    parent = p.parent
    if p.name in ("", ".", ".."):
        raise FarmError(option, f"{text}: expected a file name, not a folder")
    if not parent.exists():
        raise FarmError(option, f"{text}: the folder {parent} does not exist")
    if not parent.is_dir():
        raise FarmError(option, f"{text}: {parent} is not a folder")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise FarmError(option, f"{text}: the folder {parent} is not writable")
    if p.is_dir():
        raise FarmError(option, f"{text}: is a folder, expected a file name")
    # The result replaces the target by a rename: a device, pipe or socket
    # there (say /dev/null) would be replaced by a regular file.
    if p.exists() and not p.is_file():
        raise FarmError(option, f"{text}: is not a regular file")
    # Permissions do not tell everything (root, read-only or virtual file
    # systems such as /proc): create and remove a file there now, before
    # any solving.
    try:
        fd, tmp = _temporary(p)
    except OSError as e:
        raise FarmError(option, f"{text}: cannot create a file in {parent}: "
                                f"{e.strerror or e}") from None
    os.close(fd)
    os.unlink(tmp)
    return p


def check_output_paths(options: Mapping[str, object]) -> None:
    """``check_output_path`` for each (option, path) given (None: not asked for),
    and no two options naming the same file."""
    seen: dict[str, str] = {}
    for option, path in options.items():
        if path is None:
            continue
        real = os.path.realpath(check_output_path(option, path))
        if real in seen:
            raise FarmError(option, f"{os.fspath(path)}: the same file as {seen[real]}")
        seen[real] = option


def json_bytes(document) -> bytes:
    """The document as UTF-8 JSON; NaN and infinities are refused (no reader has them)."""
    return (json.dumps(document, indent=1, allow_nan=False) + "\n").encode("utf-8")


def _temporary(path: Path) -> tuple[int, str]:
    """A new file beside ``path``. Opened with O_EXCL and mode 0666, so the kernel
    applies the umask (mkstemp would force 0600)."""
    for _ in range(100):
        tmp = str(path.parent / f".{path.name}.{secrets.token_hex(4)}.tmp")
        try:
            return os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666), tmp
        except FileExistsError:
            continue
    raise FileExistsError(f"no free temporary name beside {path}")


def _user_error(e: OSError, path) -> OSError:
    """The same error, naming the user's path rather than the temporary file."""
    return OSError(e.errno, e.strerror or str(e), os.fspath(path))


@contextmanager
def open_atomic(path) -> Iterator[io.BufferedWriter]:
    """A binary file that appears at ``path`` only if the block completes."""
    path = Path(path)
    try:
        fd, tmp = _temporary(path)
    except OSError as e:
        raise _user_error(e, path) from None
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
        os.replace(tmp, path)
    except BaseException as e:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        if isinstance(e, OSError):
            raise _user_error(e, path) from None
        raise


def write_bytes_atomic(path, data: bytes) -> None:
    with open_atomic(path) as f:
        f.write(data)


def write_json_atomic(path, document) -> None:
    """Writes the whole document or nothing."""
    write_bytes_atomic(path, json_bytes(document))


def write_outputs(files: Mapping[object, bytes]) -> None:
    """Writes several files, each atomically: all temporary files first, then
    the renames, so a failure while writing leaves none of them touched."""
    staged: list[tuple[str, Path]] = []
    try:
        for path, data in files.items():
            path = Path(path)
            try:
                fd, tmp = _temporary(path)
            except OSError as e:
                raise _user_error(e, path) from None
            staged.append((tmp, path))
            try:
                with os.fdopen(fd, "wb") as f:
                    f.write(data)
            except OSError as e:
                raise _user_error(e, path) from None
        while staged:
            tmp, path = staged[0]
            try:
                os.replace(tmp, path)
            except OSError as e:
                raise _user_error(e, path) from None
            staged.pop(0)
    finally:
        for tmp, _ in staged:
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass
