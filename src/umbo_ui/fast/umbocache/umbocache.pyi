"""Type information for the native 32-slot value cache."""

from collections.abc import Callable
from typing import Any, ClassVar, Protocol, TypeVar

# Type checkers resolve typing_extensions in stubs from their own bundled
# typeshed, so this needs no installed package.
from typing_extensions import disjoint_base

from umbo_ui.core.enums import CacheType as CacheType

_T = TypeVar("_T")

# pyright matches an Enum member's `value` as Any against this, so it takes
# a member whose value is a str, which mypy (and the method, at run time)
# refuses; no declaration here makes it look at the member's own value.
class _Key(Protocol):
    """A key: a CacheType member, or any object whose `value` is a slot index."""

    @property
    def value(self) -> int: ...

# clear_selected takes lists only (a non-empty tuple raises), and list is
# invariant: a list[CacheType], or a list of an application's own key class,
# is no list[_Key].  A type variable per list takes each list's own element
# type and still rejects elements without an int `value`; its name is what
# mypy's message names.  mypy joins the items of a list display that mixes
# key classes to `object`, which no type variable here can take: annotate
# such a list as a list of their union (README, "Type checkers").  A
# Protocol that a list matches would take the display, but also a deque,
# which the method refuses.
_BlacklistKey = TypeVar("_BlacklistKey", bound=_Key)
_WhitelistKey = TypeVar("_WhitelistKey", bound=_Key)

@disjoint_base
class Cache:
    """32 slots addressed by CacheType members; None marks an empty slot."""

    __pyx_vtable__: ClassVar[object]
    def __init__(self) -> None: ...
    def get(self, type: _Key) -> Any: ...
    def set(self, type: _Key, value: object) -> None: ...
    def clear(self) -> None: ...
    def get_or_set_val(self, type: _Key, value: _T) -> _T | Any: ...
    def get_or_exec(self, type: _Key, func: Callable[[], _T]) -> _T | Any: ...
    def clear_selected(
        self, blacklist: list[_BlacklistKey] | None = None, whitelist: list[_WhitelistKey] | None = None
    ) -> None: ...
    def copy(self) -> Cache: ...
    def __deepcopy__(self, memo: object) -> Cache: ...
    def __getitem__(self, key: CacheType, /) -> Any: ...
    def __getattr__(self, type: str, /) -> Any: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...]) -> None: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...]) -> None: ...

def __pyx_unpickle_Cache(
    __pyx_type: type[Cache], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> Cache: ...

__test__: dict[Any, Any]
