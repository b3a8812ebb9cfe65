"""The package's exceptions: each a talvenor.Error, and the argument errors also the standard
exception of their kind, so that code written for plain Python functions catches them."""

from ._abi import tv_status_text


class Error(Exception):
    """The base of every exception of this package."""


class TalvenorError(Error):
    """A call the control refused; ``status`` holds its dispatch status code."""

    def __init__(self, what, status):
        self.status = status & 0xFFFFFFFF
        super().__init__("%s: %s (0x%08X)" % (what, tv_status_text(status).decode(), self.status))


class ConnectError(Error):
    """connectRobot could not open the robot's sections; ``robot`` and ``reason`` say which and why."""

    def __init__(self, robot, reason):
        self.robot, self.reason = robot, reason
        super().__init__("robot '%s': %s" % (robot, reason))


class ClosedError(Error, ValueError):
    """The control was closed; nothing can be called on it any more."""


class NotConnectedError(Error):
    """A command or getter before connectRobot: the control would drop the command, or read nothing."""


class FileError(Error, OSError):
    """A file a method names will not do: missing, unreadable, not a file of the kind the method takes,
    or (for a file the control writes) not written. Nothing was sent to the robot."""


class ArgumentError(Error):
    """Base of the argument errors, each also the standard exception of its kind."""


class ArgumentTypeError(ArgumentError, TypeError):
    pass


class ArgumentValueError(ArgumentError, ValueError):
    pass


class ArgumentRangeError(ArgumentError, OverflowError):
    pass


def checked_seconds(what, value):
    """A duration as a caller gives it: a number of seconds, not a text nor a bool."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError("%s takes a number of seconds, not %s" % (what, type(value).__name__))
    if value != value:
        raise ArgumentValueError("%s takes a number of seconds, not NaN" % what)
    return float(value)
