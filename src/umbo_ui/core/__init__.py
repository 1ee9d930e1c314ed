"""Core, pure-Python parts of umbo_ui."""
