"""Compiled modules of umbo_ui."""
