"""Where signal decoders live for pickle.

A decoder is an ordinary function evaluated from text, so pickle can only save
it by reference: a module and a name under which the very same object is
found. signal_decoder hands every decoder to _adopt, which names it here after
the arguments that built it (with a serial number, since two live decoders may
share their arguments); the name is all that a pickle holds. Looking a name up
in a process that does not know it rebuilds the decoder from those arguments.
Only numbers travel: a name is parsed as JSON data and never evaluated.
"""

from __future__ import annotations

import base64
import binascii
import itertools
import json
import weakref
from typing import Any, Callable

_PREFIX = "signal_decoder_"

# name -> decoder; entries go when their decoders do.
_live: weakref.WeakValueDictionary[str, Callable[..., Any]] = weakref.WeakValueDictionary()
_serial = itertools.count()


def _encode(args: tuple[Any, ...]) -> str:
    text = json.dumps(list(args), separators=(",", ":"))
    return base64.urlsafe_b64encode(text.encode()).decode().rstrip("=")


def _decode(payload: str) -> tuple[Any, ...] | None:
    """The signal_decoder arguments a name carries, None if it carries none."""
    try:
        args = json.loads(base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4)))
        if not isinstance(args, list) or len(args) != 9:
            return None
        chain = tuple((*mux[:4], tuple(mux[4])) for mux in args[8])
    except (binascii.Error, ValueError, TypeError, IndexError, KeyError):
        return None
    return (*args[:8], chain)


def _name(decoder: Callable[..., Any], name: str) -> None:
    decoder.__module__ = __name__
    decoder.__qualname__ = name
    _live[name] = decoder


def _adopt(decoder: Callable[..., Any], args: tuple[Any, ...]) -> None:
    """Names a new decoder after the (converted) arguments of signal_decoder."""
    payload = _encode(args)
    name = f"{_PREFIX}{next(_serial)}_{payload}"
    while name in _live:  # taken by a decoder loaded from another process
        name = f"{_PREFIX}{next(_serial)}_{payload}"
    _name(decoder, name)


def __getattr__(name: str) -> Callable[..., Any]:
    decoder = _live.get(name)
    if decoder is not None:
        return decoder
    serial, _, payload = name[len(_PREFIX) :].partition("_")
    args = _decode(payload) if name.startswith(_PREFIX) and serial.isdigit() else None
    if args is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from .korvel import signal_decoder

    try:
        decoder = signal_decoder(*args[:8], multiplexers=args[8])
    except (TypeError, ValueError, OverflowError) as e:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}") from e
    _live.pop(decoder.__qualname__, None)
    # Under the name it was saved with, so that it pickles back the same way.
    _name(decoder, name)
    return decoder
