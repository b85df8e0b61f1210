"""Private stand-ins for the helpers of the ortan family's sibling packages."""

import datetime
from collections.abc import Callable
from typing import Any

__all__ = ["AttrDict", "get_time"]

class AttrDict(dict[Any, Any]):
    def __getattr__(self, name: str) -> Any: ...
    def __setattr__(self, name: str, value: Any) -> None: ...
    def __delattr__(self, name: str) -> None: ...

get_time: Callable[[], datetime.datetime]
