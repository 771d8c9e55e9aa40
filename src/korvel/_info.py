"""What korvel.korvel.info returns: its facts, and the channel list walked
from the whole log only when it is asked for."""

from __future__ import annotations

from typing import Any


class Info(dict):
    """info()'s dict. Its "channels" entry (one row per bus and channel) needs
    the whole log inflated, so it is read when first looked up."""

    def __init__(self, facts: dict, file: Any, at: Any = None):
        super().__init__(facts)
        self._file = file
        self._at = at  # where a seekable stream stood

    def __missing__(self, key: str) -> Any:
        if key != "channels":
            raise KeyError(key)
        from . import korvel as _k

        if not isinstance(self._file, (str, bytes)) and not hasattr(self._file, "__fspath__"):
            if self._at is None:
                raise ValueError("the channel list of a log read from a stream needs a "
                                 "seekable stream")
            self._file.seek(self._at)
        table = _k._channels(self._file, verbose=False)
        self["channels"] = table
        return table

    def get(self, key: str, default: Any = None) -> Any:
        try:
            return self[key]
        except KeyError:
            return default

    def __reduce__(self) -> Any:
        return (dict, (dict(self),))
