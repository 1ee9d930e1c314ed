"""Stand-in for umbo_ui's enumerations (the umbo-ui-core-standin distribution).

The real package defines ``CacheType`` among its core enumerations; this
module provides a small enumeration with the same contract so that the
native cache can be built and tested on its own: every member's ``value``
is an ``int`` in 0..31, the index of the cache slot it addresses.  Some
slots are deliberately left without a member.
"""

import enum


class CacheType(enum.Enum):
    """Keys of ``umbo_ui.fast.umbocache.umbocache.Cache``."""

    LAYOUT = 0
    MEASURE = 1
    STYLE = 2
    THEME = 3
    FONT_METRICS = 4
    TEXT_LAYOUT = 5
    GLYPH_RUNS = 6
    IMAGE = 7
    ICON = 8
    PATH = 9
    CLIP = 10
    TRANSFORM = 11
    HIT_TEST = 12
    ACCESSIBILITY = 13
    # 14 and 15 are free
    SCROLL_EXTENT = 16
    MIN_SIZE = 17
    MAX_SIZE = 18
    PREFERRED_SIZE = 19
    BASELINE = 20
    CHILDREN = 21
    VISIBLE_CHILDREN = 22
    Z_ORDER = 23
    # 24 to 27 are free
    TOOLTIP = 28
    CURSOR = 29
    ANIMATION = 30
    RENDER = 31
