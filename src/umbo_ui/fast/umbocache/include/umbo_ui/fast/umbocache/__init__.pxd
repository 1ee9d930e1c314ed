# Marks umbo_ui.fast.umbocache as a package for cimport; declares nothing.
