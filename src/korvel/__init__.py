"""Fast CAN / CAN FD BLF logs in NumPy.

The query module reaches the decoders through the package attributes
flag_test and signal_decoder.
"""

from ._logs import iter_log, read_log
from ._version import __version__
from .korvel import flag_test, signal_decoder
from .tables import Table, Tables, decode, plan

__all__ = [
    "Table",
    "Tables",
    "__version__",
    "decode",
    "flag_test",
    "iter_log",
    "plan",
    "read_log",
    "signal_decoder",
]
