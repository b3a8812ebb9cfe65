"""The relay's time scale, so Python-side waits shrink with the rest of the system in tests."""

import os


def scale():
    try:
        value = float(os.environ.get("TREVASK_TIME_SCALE", "1"))
    except ValueError:
        return 1.0
    return value if value > 0 else 1.0


# The longest wait handed to C at once when the host says none (no timer runs). Otherwise the host
# says how long (its quiet look: at most a second once the relay's rings have been heard), so that an
# idle program wakes as seldom as a C one. Ctrl-C ends a wait in C at once (the signal interrupts it);
# when the signal went to another thread, the wait's end brings it.
SLICE_MS = 1000
