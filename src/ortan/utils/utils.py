"""Small utilities shared across the ortan packages."""

import datetime

__all__ = ["get_time"]


# The current local date and time as a `datetime.datetime`: get_time().
get_time = datetime.datetime.now
