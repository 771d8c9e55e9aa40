"""Fast CAN / CAN FD BLF logs in NumPy.

The query module reaches the decoders through the package attributes
flag_test and signal_decoder.
"""

from .korvel import flag_test, signal_decoder
from .tables import Table, Tables, decode

__all__ = ["Table", "Tables", "decode", "flag_test", "signal_decoder"]
