# Marks a package level for cimport; declares nothing.
