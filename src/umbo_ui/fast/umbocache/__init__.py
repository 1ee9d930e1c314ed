"""Native 32-slot value cache.

The extension lives in ``umbo_ui.fast.umbocache.umbocache``.  This package
file stays light on purpose: it imports neither the extension nor the key
enumeration, so that importing the extension is what runs its start-up.
"""

import os

__version__ = "1.2.0.dev0"


def get_include() -> str:
    """Return the directory of the native API of ``Cache``.

    It holds the C/C++ header ``umbocache.h`` and, under ``umbo_ui/``, the
    Cython declarations, so that a compiled module with this directory on
    its include path can ``#include "umbocache.h"`` or
    ``cimport umbo_ui.fast.umbocache.umbocache``.
    """
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "include")
