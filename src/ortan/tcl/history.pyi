"""Call history: History, a bounded, timestamped record of Tcl calls with named markers."""

import logging as logging
import re as re
from collections import deque as deque
from collections.abc import Callable, Hashable, Sequence
from datetime import datetime
from typing import ClassVar

__all__ = ("Entry", "History", "log")

# ortan.utils.utils.get_time when that sibling distribution is installed, else the stand-in
# datetime.datetime.now; assign any function of no arguments that returns the time.
get_time: Callable[[], datetime]

log: logging.Logger

class Entry:
    timestamp: datetime
    api: str
    error: str | None
    duration: float | None
    def __init__(self, api: str | Sequence[str]) -> None: ...
    @property
    def script(self) -> str: ...

class History:
    __MAX_HISTORY__: ClassVar[int]
    __history__: deque[Entry]
    __markers__: dict[Hashable, deque[Entry]]
    __activeMarkers__: list[Hashable]
    enabled: bool
    def __init__(self, max_history: int | None = 9999) -> None: ...
    def enable(self) -> None: ...
    def disable(self) -> None: ...
    def append(self, item: str | Sequence[str]) -> None: ...
    def _record(self, item: str | Sequence[str]) -> Entry | None: ...
    def clear(self, marker: Hashable | None = None, clear_all: bool = False) -> None: ...
    def start_marker(self, marker: Hashable) -> None: ...
    def end_marker(self, marker: Hashable) -> None: ...
    def filter(
        self, marker: Hashable | None = None, count: int = 20, regex: str | re.Pattern[str] | None = None
    ) -> list[Entry]: ...
