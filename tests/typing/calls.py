"""Calls as users type them, checked with ``mypy --strict`` and pyright's strict
mode by tests/test_typing.py.

A line that both must reject ends in ``# error: CODE`` (mypy's error code);
a line that only mypy rejects ends in ``# mypy only: CODE`` (the README's
"Type checkers" names each such case); every other line must pass both.
"""

import enum
from dataclasses import dataclass

from umbo_ui.core.enums import CacheType
from umbo_ui.fast.umbocache.umbocache import Cache


@dataclass(frozen=True)
class Slot:
    """A key of the application's own: anything with an int `value`."""

    value: int


@dataclass(frozen=True)
class Label:
    value: str


class Named(enum.Enum):
    TITLE = "title"


def measure() -> tuple[int, int]:
    return (640, 480)


cache = Cache()
keep: list[CacheType] = [CacheType.THEME]
drop: list[CacheType] = [CacheType.LAYOUT, CacheType.MEASURE]
own: list[Slot] = [Slot(14)]
mixed: list[CacheType | Slot] = [CacheType.STYLE, Slot(15)]
optional: list[CacheType] | None = None

cache.clear_selected(blacklist=keep)
cache.clear_selected(whitelist=drop)
cache.clear_selected(blacklist=keep, whitelist=own)
cache.clear_selected(keep, drop)
cache.clear_selected(None, own)
cache.clear_selected(blacklist=mixed, whitelist=optional)
cache.clear_selected(blacklist=[], whitelist=[CacheType.THEME])
cache.clear_selected([CacheType.THEME, CacheType.STYLE])
cache.clear_selected()
cache.get(CacheType.THEME)
cache.get(Slot(3))
cache.set(CacheType.THEME, "dark")
size: tuple[int, int] = cache.get_or_exec(CacheType.MEASURE, measure)
theme: str = cache.get_or_set_val(Slot(3), "light")
cache[CacheType.THEME]

names: list[str] = ["THEME"]
cache.clear_selected(blacklist=names)  # error: type-var
cache.clear_selected(whitelist=[1, 2])  # error: type-var
cache.clear_selected(blacklist=(CacheType.THEME,))  # error: arg-type
cache.clear_selected(keep, drop, own)  # error: call-arg
cache.get("THEME")  # error: arg-type
cache.get(3)  # error: arg-type
cache.get()  # error: call-arg
cache.set(CacheType.THEME)  # error: call-arg
cache.get_or_exec(CacheType.MEASURE, (640, 480))  # error: arg-type
cache.get_or_exec(CacheType.MEASURE)  # error: call-arg
cache[Slot(3)]  # error: index
cache.get(Label("THEME"))  # error: arg-type

# Accepted at run time, but mypy joins the items of the display to object.
cache.clear_selected(whitelist=[CacheType.THEME, Slot(14)])  # mypy only: type-var
# Refused at run time (TypeError); pyright takes any Enum's value as Any.
cache.get(Named.TITLE)  # mypy only: arg-type
