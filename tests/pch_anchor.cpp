// Holds the suites' shared precompiled header; it has no code of its own.
