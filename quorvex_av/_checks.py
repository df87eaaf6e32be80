"""The checks of arguments that readers, samplers, the loader and the Ray
sources share, each with the message its callers promise, and the way
their messages write seconds."""

from __future__ import annotations

import math
import operator

import numpy as np


def whole_number(name: str, value: object) -> int:
    """``value`` as an int; ValueError for a number that is not whole,
    TypeError for anything else."""
    if isinstance(value, float) and value.is_integer():
        return int(value)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        if isinstance(value, (int, float)) or hasattr(value, "__float__"):
            raise ValueError(f"{name} must be a whole number, not {value!r}") from None
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def integer(name: str, value: int) -> int:
    """An integer argument (not a bool); TypeError otherwise."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


def at_least_one(name: str, value: int) -> int:
    """A positive integer argument: TypeError for a non-integer, ValueError
    below 1."""
    number = integer(name, value)
    if number < 1:
        raise ValueError(f"{name} must be at least 1, not {number}")
    return number


def check_threads(value: object) -> int:
    """A decoder's ``threads`` as an int: 0 (FFmpeg chooses) or more."""
    threads = whole_number("threads", value)
    if threads < 0:
        raise ValueError(f"threads must be 0 (FFmpeg chooses) or more, not {threads}")
    return threads


def check_workers(value: object) -> int:
    """``workers`` as a positive int; ValueError or TypeError otherwise."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"workers must be an integer, not {type(value).__name__}")
    count = int(value)
    if count < 1:
        raise ValueError(f"workers must be at least 1, not {count}")
    return count


def positive_integer(name: str, value: object) -> None:
    """ValueError unless ``value`` is an int (not a bool) of at least 1 or
    None."""
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
        raise ValueError(f"{name} must be a positive integer, not {value!r}")


def check_on_error(on_error: object) -> None:
    if on_error not in ("raise", "skip"):
        raise ValueError(f"on_error must be 'raise' or 'skip', not {on_error!r}")


def finite_seconds(name: str, value: float, positive: bool = False) -> float:
    """A time argument as a float: finite (and above 0 with ``positive``)."""
    number = float(value)
    if not math.isfinite(number) or (positive and number <= 0):
        kind = "a positive" if positive else "a finite"
        raise ValueError(f"{name} must be {kind} number of seconds, not {value}")
    return number


def seconds_text(value: float) -> str:
    """A time as the messages write it."""
    return f"{value:.6g}"
