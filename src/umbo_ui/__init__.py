"""umbo_ui: a user-interface package."""
