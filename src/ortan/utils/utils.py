"""Small utilities shared across the ortan packages."""

import datetime

__all__ = ["get_time"]


def get_time():
    """The current local date and time as a `datetime.datetime`."""
    return datetime.datetime.now()
