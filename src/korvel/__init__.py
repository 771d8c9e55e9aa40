"""Fast CAN / CAN FD BLF logs in NumPy.

The query module reaches the decoders through these two package attributes.
"""

from .korvel import flag_test, signal_decoder

__all__ = ["flag_test", "signal_decoder"]
