"""Fast CAN / CAN FD BLF logs in NumPy."""

from . import korvel as _korvel

__all__ = [n for n in ("flag_test", "signal_decoder") if hasattr(_korvel, n)]
globals().update({n: getattr(_korvel, n) for n in __all__})
