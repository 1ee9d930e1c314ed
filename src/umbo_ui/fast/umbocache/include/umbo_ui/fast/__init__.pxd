# Marks umbo_ui.fast as a package for cimport; declares nothing.
