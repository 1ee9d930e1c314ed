"""Native 32-slot value cache.

The extension lives in ``umbo_ui.fast.umbocache.umbocache``.  This package
file stays light on purpose: it imports neither the extension nor the key
enumeration, so that importing the extension is what runs its start-up.
"""

__version__ = "1.0.0"
