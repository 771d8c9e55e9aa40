import zlib as zlib
from datetime import datetime as datetime
from time import mktime as mktime
from time import time as time
from typing import Any, BinaryIO

import numpy as np
import numpy.typing as npt
from typing_extensions import TypeAlias

Frames: TypeAlias = tuple[npt.NDArray[np.void], npt.NDArray[np.uint8]]

DT: np.dtype[np.void]
DT64: np.dtype[np.void]
DT64_def: list[tuple[str, str]]

class BLFError(Exception): ...
class Continuable(Exception): ...

def newType(_len: Any) -> np.dtype[np.void]: ...
def pad(arr: Any) -> Any: ...
def read(file: BinaryIO) -> Frames: ...
