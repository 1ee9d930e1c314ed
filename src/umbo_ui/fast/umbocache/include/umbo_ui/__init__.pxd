# Marks umbo_ui as a package for cimport; declares nothing.
