"""--dbc arguments: databases loaded once, bound to channels, as decode plans."""

from __future__ import annotations

import argparse
import os
import re
from collections.abc import Sequence
from dataclasses import replace
from typing import Any

from .session import Failure, exc_text, need

_BOUND = re.compile(r"(\d+):(.+)\Z", re.DOTALL)


def dbc_arg(text: str) -> tuple[int | None, str]:
    """DB or CH:DB (a file of that very name stays a path)."""
    m = _BOUND.match(text)
    if m is None or os.path.exists(text):
        return None, text
    channel = int(m[1])
    if channel > 255:
        raise argparse.ArgumentTypeError(f"channel {channel} is outside 0..255 in {text!r}")
    return channel, m[2]


def plain_dbc_arg(text: str) -> tuple[None, str]:
    channel, path = dbc_arg(text)
    if channel is not None:
        raise argparse.ArgumentTypeError(f"filter binds no database to a channel: {text!r}")
    return None, path


_loaded: dict[str, Any] = {}


def load_db(path: str) -> Any:
    if path not in _loaded:
        cantools = need("cantools", "cli")
        try:
            _loaded[path] = cantools.database.load_file(path)
        except OSError as e:
            raise Failure(path, e.strerror or exc_text(e)) from None
        except Exception as e:  # noqa: BLE001 - cantools' parse errors share no base
            raise Failure(path, f"database does not load: {exc_text(e)}") from None
    return _loaded[path]


_plans: dict[str, Any] = {}


def load_plan(path: str) -> Any:
    """A database's decode plan, from the plan cache when it holds the file."""
    if path not in _plans:
        need("cantools", "cli")
        from ..tables import plan

        try:
            _plans[path] = plan(path)
        except OSError as e:
            raise Failure(path, e.strerror or exc_text(e)) from None
        except Exception as e:  # noqa: BLE001 - cantools' parse errors share no base
            raise Failure(path, f"database does not load: {exc_text(e)}") from None
    return _plans[path]


def db_names(dbcs: Sequence[tuple[int | None, str]]) -> str:
    return ", ".join(dict.fromkeys(path for _, path in dbcs))


def plan_of(dbcs: Sequence[tuple[int | None, str]], messages: Sequence[str] | None) -> Any:
    """The decode plan of --dbc DB and --dbc CH:DB. A database bound to a
    channel decodes that channel; the others decode every channel no database
    is bound to."""
    from ..tables import DecodePlan, decode_plan

    plain = [load_plan(p) for ch, p in dbcs if ch is None]
    bound: dict[int, list[Any]] = {}
    for ch, p in dbcs:
        if ch is not None:
            bound.setdefault(ch, []).append(load_plan(p))
    if not bound:
        plan = decode_plan(plain)
    elif not plain:
        plan = decode_plan(bound)
    else:
        free = tuple(c for c in range(256) if c not in bound)
        shared = {m.name: replace(m, channels=free) for m in decode_plan(plain).messages}
        own = []
        for m in decode_plan(bound).messages:
            same = shared.get(m.name)
            if same is None:
                own.append(m)
            elif (same.can_id, same.is_extended, same.signals) == (
                m.can_id, m.is_extended, m.signals
            ):
                shared[m.name] = replace(same, channels=same.channels + m.channels)
            else:
                own.append(replace(m, name=f"{m.name}@{'+'.join(map(str, m.channels))}"))
        plan = DecodePlan((*shared.values(), *own))
    if not messages:
        return plan
    names = [m.name for m in plan.messages]
    chosen = []
    for wanted in messages:
        hits = [n for n in names if n == wanted or n.split("@", 1)[0] == wanted]
        if not hits:
            raise Failure(db_names(dbcs), f"no message named {wanted!r}")
        chosen.extend(h for h in hits if h not in chosen)
    return plan.select(chosen)


DBC_HELP = ("a database cantools loads (.dbc, .arxml, .kcd, .sym); CH:DB binds it to "
            "channel CH, and unbound databases serve the other channels; repeatable")
