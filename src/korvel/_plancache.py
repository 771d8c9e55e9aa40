"""Decode plans kept on disk, so that a database file is parsed (by cantools)
once: keyed by the file's content, its suffix (which picks the parser), the
plan's layout and the parser's version, so a changed database, or another
cantools, is never served a stale plan.

The folder is $KORVEL_CACHE, else the user's cache folder (platformdirs when
installed, else the platform's usual place). Entries are JSON, written under a
temporary name and renamed, so concurrent processes never see half an entry;
an entry that cannot be read is parsed again. KORVEL_CACHE=off disables it.

The folder is kept small: an entry read is marked used (its time touched), and
writing one drops the least recently used beyond MAX_ENTRIES entries or
MAX_BYTES bytes, and temporary files older than an hour (a process killed
while writing).
"""

from __future__ import annotations

import hashlib
import json
import os
import sys
import tempfile
from typing import Any, Callable

# Bump when what a plan holds changes: older entries are then never read.
LAYOUT = 1
MAX_ENTRIES = 256
MAX_BYTES = 256 << 20
STALE_TEMP = 3600.0  # seconds


def folder() -> str | None:
    """The cache folder, or None when caching is off."""
    env = os.environ.get("KORVEL_CACHE")
    if env is not None:
        return None if env.strip().lower() in ("", "0", "off", "no", "false") else env
    try:
        import platformdirs

        return os.path.join(platformdirs.user_cache_dir("korvel", appauthor=False), "plans")
    except ImportError:
        pass
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or os.path.expanduser("~\\AppData\\Local")
        return os.path.join(base, "korvel", "Cache", "plans")
    if sys.platform == "darwin":
        return os.path.expanduser("~/Library/Caches/korvel/plans")
    base = os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")
    return os.path.join(base, "korvel", "plans")


def _parser_version() -> str:
    # From the installed metadata: importing cantools costs more than the
    # whole cached load.
    module = sys.modules.get("cantools")
    if module is not None and hasattr(module, "__version__"):
        return str(module.__version__)
    try:
        from importlib.metadata import version

        return version("cantools")
    except Exception:  # noqa: BLE001 - no metadata: entries stay apart
        return "unknown"


def key(content: bytes, suffix: str) -> str:
    h = hashlib.sha256()
    for part in (f"korvel-plan-{LAYOUT}", suffix.lower(), _parser_version()):
        h.update(part.encode() + b"\0")
    h.update(content)
    return h.hexdigest()


def _content(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def cached(path: str, parse: Callable[[], Any], encode: Callable[[Any], Any],
           decode: Callable[[Any], Any]) -> Any:
    """parse() of the database at `path`, from the cache when an entry for
    its content is there; else parsed and stored. encode/decode turn the
    result into JSON data and back."""
    where = folder()
    if where is None:
        return parse()
    content = _content(path)
    digest = key(content, os.path.splitext(path)[1])
    name = os.path.join(where, digest + ".json")
    try:
        with open(name, encoding="utf-8") as f:
            entry = json.load(f)
        # An entry names its own key: anything else there is not one.
        if entry["key"] == digest:
            result = decode(entry["data"])
            try:
                os.utime(name)  # used: the last to go
            except OSError:
                pass
            return result
    except (OSError, ValueError, KeyError, TypeError, IndexError, AttributeError):
        pass  # missing, or unreadable (truncated, another layout): parse again
    result = parse()
    try:
        # A file rewritten while it was parsed: its plan is not the entry's.
        if _content(path) != content:
            return result
        os.makedirs(where, exist_ok=True)
        fd, tmp = tempfile.mkstemp(dir=where, prefix=".plan-", suffix=".tmp")
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                json.dump({"key": digest, "data": encode(result)}, f, separators=(",", ":"))
            os.replace(tmp, name)
        except BaseException:
            os.unlink(tmp)
            raise
        _trim(where, keep=name)
    except OSError:
        pass  # a cache that cannot be written only costs speed
    return result


def _trim(where: str, keep: str) -> None:
    """Drops the least recently used entries beyond the limits, and stale
    temporary files; another process dropping them first is fine."""
    import time

    now = time.time()
    found = []
    with os.scandir(where) as it:
        for e in it:
            try:
                st = e.stat(follow_symlinks=False)
            except OSError:
                continue
            if e.name.startswith(".plan-") and e.name.endswith(".tmp"):
                if now - st.st_mtime > STALE_TEMP:
                    _remove(e.path)
            elif e.name.endswith(".json") and e.is_file(follow_symlinks=False):
                found.append((st.st_mtime, st.st_size, e.path))
    found.sort(reverse=True)  # the most recently used first
    size = 0
    for count, (_, bytes_, path) in enumerate(found, 1):
        size += bytes_
        if path != keep and (count > MAX_ENTRIES or size > MAX_BYTES):
            _remove(path)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
