"""The errors of farmrun, in one small module that every other may import.

A ``FarmError`` is a farm, an option or a result that cannot be used: the
command line reports it in one line with exit status 2, and nothing is written.
An ``EngineError`` is a batch that failed on a Dask worker for another reason.
"""
from __future__ import annotations

__all__ = ["EngineError", "FarmError"]


class FarmError(ValueError):
    """A farm description that cannot be run; ``field`` names the offending entry."""

    def __init__(self, field_name: str, message: str):
        super().__init__(f"{field_name}: {message}")
        self.field = field_name
        self.message = message

    def __reduce__(self):  # an error raised on a Dask worker crosses back pickled
        return type(self), (self.field, self.message)


class EngineError(RuntimeError):
    """A batch failed on a Dask worker with an error that is not a FarmError."""
