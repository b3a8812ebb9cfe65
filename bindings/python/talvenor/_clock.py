"""The relay's time scale, so Python-side waits shrink with the rest of the system in tests."""

import os


def scale():
    try:
        value = float(os.environ.get("TREVASK_TIME_SCALE", "1"))
    except ValueError:
        return 1.0
    return value if value > 0 else 1.0


# The longest stretch spent in C at once. Ctrl-C ends a wait in C at once (the signal interrupts it);
# the slice bounds the wait when the signal went to another thread, and is the idle program's pace.
SLICE_MS = 200
