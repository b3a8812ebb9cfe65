"""Drive a robot from Python through the talvenor control.

    import talvenor
    with talvenor.Control("R1", stop_motors_on_exit=True) as ctl:
        ctl.on("StandardSensorEvent", lambda reading: print("sonar 1:", reading.sonar1))
        ctl.EnableStandardSensorSending()
        ctl.EnableDcMotor(0)
        ctl.DcMotorPwmNonTimeCtr(0, 300)
        ctl.run(5)                  # pump the control's 30 ms timer for five seconds

The 151 methods, 4 properties (and the read-only RelayState) and 5 events of the control keep their
names and meaning; they are built from the control's own dispatch table
(``help(talvenor.Control.DcMotorPwmNonTimeCtr)``), and the stub beside this file lets editors and type checkers see them. Readings come as frozen dataclasses
(``ctl.standard()``, or a handler that takes one argument); ``ctl.image()`` is this control's own
picture. The relay (``trevask``) must run for the same robot name for anything to reach a robot:
``ctl.relay_state()`` tells whether it does and whether its link is up.
"""

import os

from ._library import load_library  # noqa: F401
from ._abi import TV_ADDRESS, TV_BOOL, TV_BUFFER, TV_EMPTY, TV_LONG, TV_SHORT, TV_STRING  # noqa: F401
from ._errors import (ArgumentError, ArgumentRangeError, ArgumentTypeError, ArgumentValueError,  # noqa: F401
                      ClosedError, ConnectError, Error, FileError, NotConnectedError, TalvenorError)
from . import readings  # noqa: F401
from .readings import (BYTE, FIELD_LIST, READING_CLASSES, WORD, CustomReading, MotorReading,  # noqa: F401
                       Scaling, StandardReading)
from ._members import members
from ._hosts import Host, default_host, run
from ._control import Control, served_robots


def _read_version():
    """The project's one version: written into the installed package, else the checkout's VERSION."""
    try:
        from ._version import VERSION
        return VERSION
    except ImportError:
        top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "VERSION")
        try:
            with open(top) as f:
                return f.read().strip()
        except OSError:
            return "unknown"


__version__ = _read_version()
__all__ = ["Control", "Host", "Error", "TalvenorError", "ConnectError", "ClosedError", "NotConnectedError",
           "ArgumentError", "FileError", "served_robots",
           "StandardReading", "MotorReading", "CustomReading", "Scaling", "run", "members", "default_host"]

# The package's classes and functions are made in its private modules but are the package's own:
# tracebacks, help() and pickles name them talvenor.X, as programs written against it know them.
for _public in (Error, TalvenorError, ConnectError, ClosedError, NotConnectedError, FileError, ArgumentError,
                ArgumentTypeError, ArgumentValueError, ArgumentRangeError, Host, Control, members, default_host,
                run, served_robots):
    _public.__module__ = __name__
del _public
