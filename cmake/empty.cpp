// The shared library is the union of the area archives; it has no code of its own.
