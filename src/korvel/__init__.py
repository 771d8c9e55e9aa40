"""Fast CAN / CAN FD BLF logs in NumPy."""

from .korvel import *  # noqa: F401,F403
from . import korvel as korvel  # noqa: F401

__all__ = [n for n in ("flag_test", "signal_decoder") if hasattr(korvel, n)]
globals().update({n: getattr(korvel, n) for n in __all__})
