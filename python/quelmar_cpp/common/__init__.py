"""What the solve command and the trainer share.

``errors`` has the usage error every command reports as one line,
``options`` makes command-line options from tables of settings and checks
their values, ``plugins`` imports and registers a puzzle plug-in, ``files``
writes outputs whole (temporary name, then rename) and checks where they go,
and ``progress`` is the progress bar on a terminal.
"""
