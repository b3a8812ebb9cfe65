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

import asyncio
import collections
import ctypes
import inspect
import logging
import os
import time
import weakref

from ._library import load_library
from .readings import (BYTE, FIELD_LIST, READING_CLASSES, WORD, CustomReading, MotorReading,  # noqa: F401
                       Scaling, StandardReading)

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

_lib = load_library()
_log = logging.getLogger("talvenor")

TV_EMPTY, TV_SHORT, TV_LONG, TV_STRING, TV_BOOL, TV_ADDRESS, TV_BUFFER = 0, 2, 3, 8, 11, 37, 65
_KIND_METHOD, _KIND_PROPERTY, _KIND_EVENT = 1, 2, 3
_TYPE_NAMES = {TV_EMPTY: "None", TV_SHORT: "short", TV_LONG: "long", TV_STRING: "str", TV_BOOL: "bool",
               TV_ADDRESS: "address", TV_BUFFER: "bytearray"}


class _Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int32), ("reserved", ctypes.c_int32), ("i", ctypes.c_int64),
                ("s", ctypes.c_char_p), ("data", ctypes.c_void_p), ("size", ctypes.c_size_t)]


_MAX_PARAMS = 7
_MEMBER_NEEDS_ROBOT, _MEMBER_READS_FILE, _MEMBER_WRITES_FILE = 1, 2, 4
_MEMBER_READ_ONLY = 32
_ROLE_FILE_TO_READ, _ROLE_FILE_TO_WRITE, _ROLE_FILE_FOR_RELAY = 5, 6, 8
# The sections whose records events hand out (TV_SECTION_*): the sensor records first, by number.
_SECTION_IMAGE, _SECTION_AUDIO = 3, 4


class _MemberInfo(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("dispid", ctypes.c_int32), ("name", ctypes.c_char_p),
                ("type", ctypes.c_int32), ("param_count", ctypes.c_int32),
                ("param_names", ctypes.c_char_p * _MAX_PARAMS), ("param_types", ctypes.c_int32 * _MAX_PARAMS),
                ("help", ctypes.c_char_p), ("implementation", ctypes.c_char_p), ("flags", ctypes.c_uint32),
                ("param_roles", ctypes.c_int32 * _MAX_PARAMS), ("param_min", ctypes.c_int32 * _MAX_PARAMS),
                ("param_max", ctypes.c_int32 * _MAX_PARAMS), ("param_meanings", ctypes.c_char_p * _MAX_PARAMS),
                ("field", ctypes.c_int32), ("section", ctypes.c_int32)]


class _Event(ctypes.Structure):
    _fields_ = [("dispid", ctypes.c_int32), ("data", ctypes.POINTER(ctypes.c_uint8)), ("size", ctypes.c_size_t),
                ("taken_at", ctypes.c_double)]


def _declare(name, restype, *argtypes):
    fn = getattr(_lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


_c = ctypes
_tv_member_count = _declare("tv_member_count", _c.c_int32)
_tv_member_at = _declare("tv_member_at", _c.c_int32, _c.c_int32, _c.POINTER(_MemberInfo))
_tv_status_text = _declare("tv_status_text", _c.c_char_p, _c.c_int32)
_tv_create = _declare("tv_create", _c.c_int32, _c.POINTER(_c.c_void_p))
_tv_create_from_registry = _declare("tv_create_from_registry", _c.c_int32, _c.c_char_p, _c.POINTER(_c.c_void_p))
_tv_destroy = _declare("tv_destroy", None, _c.c_void_p)
_tv_invoke = _declare("tv_invoke", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(_Variant), _c.c_int32,
                      _c.POINTER(_Variant))
_tv_get_property = _declare("tv_get_property", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(_Variant))
_tv_put_property = _declare("tv_put_property", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(_Variant))
_tv_queue_events = _declare("tv_queue_events", None, _c.c_void_p, _c.c_int32)
_tv_next_event = _declare("tv_next_event", _c.c_int32, _c.c_void_p, _c.POINTER(_Event))
_tv_events_dropped = _declare("tv_events_dropped", _c.c_uint64, _c.c_void_p)
_tv_use_event = _declare("tv_use_event", None, _c.c_void_p, _c.POINTER(_Event))
_tv_modified = _declare("tv_modified", _c.c_int32, _c.c_void_p)
_tv_image = _declare("tv_image", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_luma = _declare("tv_luma", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_voice = _declare("tv_voice", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_record = _declare("tv_record", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.c_int32, _c.POINTER(_c.c_size_t))
_tv_last_error = _declare("tv_last_error", _c.c_char_p, _c.c_void_p)
_tv_relay_state = _declare("tv_relay_state", _c.c_int32, _c.c_void_p)
_tv_relay_state_name = _declare("tv_relay_state_name", _c.c_char_p, _c.c_int32)
_tv_lapped = _declare("tv_lapped", _c.c_uint64, _c.c_void_p, _c.c_int32)
_tv_commands_not_stored = _declare("tv_commands_not_stored", _c.c_uint64, _c.c_void_p)
_tv_stop_motors = _declare("tv_stop_motors", None, _c.c_void_p)
_tv_section_owner = _declare("tv_section_owner", _c.c_int64, _c.c_void_p)
_tv_served_robots = _declare("tv_served_robots", _c.c_int32, _c.c_char_p, _c.c_size_t)
_tv_check_sound_file = _declare("tv_check_sound_file", _c.c_int32, _c.c_char_p, _c.c_char_p, _c.c_size_t)
_tv_check_lcd_file = _declare("tv_check_lcd_file", _c.c_int32, _c.c_char_p, _c.c_char_p, _c.c_size_t)
_tv_host_create = _declare("tv_host_create", _c.c_void_p)
_tv_host_destroy = _declare("tv_host_destroy", None, _c.c_void_p)
_tv_host_attach = _declare("tv_host_attach", None, _c.c_void_p, _c.c_void_p)
_tv_host_detach = _declare("tv_host_detach", None, _c.c_void_p)
_tv_host_process_due = _declare("tv_host_process_due", _c.c_int32, _c.c_void_p)
_tv_host_ms_until_due = _declare("tv_host_ms_until_due", _c.c_int64, _c.c_void_p)
_tv_host_set_ticking = _declare("tv_host_set_ticking", None, _c.c_void_p, _c.c_int32)
_tv_host_wait = _declare("tv_host_wait", _c.c_int32, _c.c_void_p, _c.c_uint32)
_tv_host_arm = _declare("tv_host_arm", _c.c_void_p, _c.c_void_p)
_tv_doorbells_wait = _declare("tv_doorbells_wait", _c.c_int32, _c.c_void_p, _c.c_uint32)
_tv_doorbells_free = _declare("tv_doorbells_free", None, _c.c_void_p)
_tv_host_queue_messages = _declare("tv_host_queue_messages", None, _c.c_void_p, _c.c_int32)
_tv_host_next_message = _declare("tv_host_next_message", _c.c_int32, _c.c_void_p, _c.POINTER(_c.c_char_p))


class Error(Exception):
    """The base of every exception of this package."""


class TalvenorError(Error):
    """A call the control refused; ``status`` holds its dispatch status code."""

    def __init__(self, what, status):
        self.status = status & 0xFFFFFFFF
        super().__init__("%s: %s (0x%08X)" % (what, _tv_status_text(status).decode(), self.status))


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


class _Param:
    __slots__ = ("name", "type", "role", "min", "max", "meaning")

    def __init__(self, info, k):
        self.name = info.param_names[k].decode()
        self.type = info.param_types[k]
        self.role = info.param_roles[k]
        self.min, self.max = info.param_min[k], info.param_max[k]
        self.meaning = info.param_meanings[k].decode()


class _Member:
    __slots__ = ("kind", "dispid", "name", "type", "params", "help", "implementation", "flags", "field", "section")

    def __init__(self, info):
        self.kind = info.kind
        self.dispid = info.dispid
        self.name = info.name.decode()
        self.type = info.type
        self.params = [_Param(info, k) for k in range(info.param_count)]
        self.help = info.help.decode()
        self.implementation = info.implementation.decode()
        self.flags = info.flags
        self.field = FIELD_LIST[info.field] if 0 <= info.field < len(FIELD_LIST) else None
        self.section = info.section


def _read_table():
    out = []
    info = _MemberInfo()
    for index in range(_tv_member_count()):
        if _tv_member_at(index, ctypes.byref(info)) == 0:
            out.append(_Member(info))
    return out


_MEMBERS = _read_table()
_BY_LOWER = {m.name.lower(): m for m in _MEMBERS if m.kind != _KIND_EVENT}
_EVENTS = {m.name.lower(): m for m in _MEMBERS if m.kind == _KIND_EVENT}
_EVENT_BY_DISPID = {m.dispid: m for m in _MEMBERS if m.kind == _KIND_EVENT}
_SENSOR_EVENT_NAMES = tuple(m.name for m in _EVENT_BY_DISPID.values() if 0 <= m.section < len(READING_CLASSES))


def members():
    """(kind, dispid, name) of every method, property and event, in the table's order."""
    kinds = {_KIND_METHOD: "method", _KIND_PROPERTY: "property", _KIND_EVENT: "event"}
    return [(kinds[m.kind], m.dispid, m.name) for m in _MEMBERS]


def _to_variant(member, param, value, keep):
    v = _Variant()
    pname, ptype = param.name, param.type
    where = "%s(): argument '%s'" % (member.name, pname)
    if ptype in (TV_SHORT, TV_LONG):
        if isinstance(value, bool) or not isinstance(value, int):
            if hasattr(value, "__index__") and not isinstance(value, bool):
                value = value.__index__()
            else:
                raise ArgumentTypeError("%s must be an integer, not %s" % (where, type(value).__name__))
        if not param.min <= value <= param.max:
            raise ArgumentRangeError("%s is %d, outside %d..%d: %s" % (where, value, param.min, param.max,
                                                                      param.meaning or _TYPE_NAMES[ptype]))
        v.type, v.i = ptype, value
    elif ptype == TV_STRING:
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        if isinstance(value, str):
            value = value.encode()
        if not isinstance(value, bytes):
            raise ArgumentTypeError("%s must be a string, not %s" % (where, type(value).__name__))
        if b"\0" in value:
            raise ArgumentValueError("%s holds a zero character" % where)
        keep.append(value)
        v.type, v.s = TV_STRING, value
    elif ptype == TV_BUFFER:
        try:
            view = memoryview(value)
        except TypeError:
            raise ArgumentTypeError("%s must be a writable buffer such as a bytearray, not %s"
                                    % (where, type(value).__name__)) from None
        if view.readonly:
            raise ArgumentTypeError("%s must be writable (a bytearray, not bytes)" % where)
        if view.nbytes == 0:
            v.type, v.data, v.size = TV_BUFFER, None, 0
        else:
            holder = (ctypes.c_char * view.nbytes).from_buffer(view.cast("B"))
            keep.append(holder)
            v.type, v.data, v.size = TV_BUFFER, ctypes.addressof(holder), view.nbytes
    else:
        raise ArgumentTypeError("%s has a type Python cannot pass" % where)
    return v


def _from_variant(v):
    if v.type == TV_EMPTY:
        return None
    if v.type == TV_BOOL:
        return bool(v.i)
    if v.type == TV_STRING:
        return v.s.decode() if v.s is not None else ""
    return int(v.i)


_PY_TYPES = {TV_EMPTY: None, TV_SHORT: int, TV_LONG: int, TV_STRING: str, TV_BOOL: bool, TV_ADDRESS: int,
             TV_BUFFER: bytearray}


# Where a relay run as the service trevask@ cannot look: systemd gives it a /tmp of its own and hides
# the homes (PrivateTmp, ProtectHome).
_HIDDEN_FROM_SERVICE = ("/tmp/", "/var/tmp/", "/home/", "/root/", "/run/user/")


def _checked_file(control, member, param, value):
    """A path a method names, made absolute (the relay runs in a folder of its own) and checked before
    anything is sent: the file must be of the kind the method takes, or (for one the control writes)
    its folder must be there."""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        return value  # refused with its type by the argument check
    # "EOF" after a sound's name asks the relay to go on from the previous sound: the file is the name
    # before it, and the letters stay last.
    go_on = "EOF" if param.role == _ROLE_FILE_FOR_RELAY and len(value) > 3 and value.endswith("EOF") else ""
    if go_on:
        value = value[:-3]
    path = os.path.abspath(value)
    where = "%s(): %s" % (member.name, path)
    if param.role == _ROLE_FILE_TO_WRITE:
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            raise FileError("%s: the folder %s does not exist" % (where, folder))
        return path
    reason = ctypes.create_string_buffer(512)
    check = _tv_check_sound_file if param.role == _ROLE_FILE_FOR_RELAY else _tv_check_lcd_file
    if check(path.encode(), reason, len(reason)) != 0:
        raise FileError("%s(): %s" % (member.name, reason.value.decode(errors="replace")))
    owner = _tv_section_owner(control._handle)
    if param.role == _ROLE_FILE_FOR_RELAY and owner not in (-1, os.geteuid()) and path.startswith(_HIDDEN_FROM_SERVICE):
        raise FileError("%s(): %s: the relay of this robot runs as another user (a service), which sees neither "
                        "/tmp nor the homes; put the file where it may read it, such as /var/lib/trevask/sounds"
                        % (member.name, path))
    return path + go_on


def _describe(member):
    params = ", ".join("%s: %s" % (p.name, _TYPE_NAMES[p.type]) for p in member.params)
    lines = ["%s(%s) -> %s" % (member.name, params, _TYPE_NAMES[member.type]), "",
             member.help[:1].upper() + member.help[1:] + "."]
    for p in member.params:
        lines.append("  %s: %s" % (p.name, p.meaning or _TYPE_NAMES[p.type]))
    if member.field is not None:
        lines.append("Returns the raw field of the latest record: %s (no physical scale is applied)."
                     % member.field.describe())
    if member.implementation != member.name and member.implementation.lower() not in member.help.lower():
        lines.append("The same operation as %s." % member.implementation)
    lines += ["", "DISPID %d." % member.dispid]
    return "\n".join(lines)


def _make_method(member):
    names = [p.name for p in member.params]
    needs_robot = bool(member.flags & _MEMBER_NEEDS_ROBOT)

    def method(self, *args, **kwargs):
        handle = self._live()
        if len(args) > len(names):
            raise ArgumentTypeError("%s() takes %d argument%s (%s), %d given" % (
                member.name, len(names), "" if len(names) == 1 else "s", ", ".join(names) or "none", len(args)))
        values = list(args)
        for pname in names[len(args):]:
            if pname not in kwargs:
                raise ArgumentTypeError("%s() is missing argument '%s' (takes %s)"
                                        % (member.name, pname, ", ".join(names)))
            values.append(kwargs.pop(pname))
        if kwargs:
            raise ArgumentTypeError("%s() got an unexpected argument '%s'" % (member.name, next(iter(kwargs))))
        for k, param in enumerate(member.params):
            if param.role in (_ROLE_FILE_TO_READ, _ROLE_FILE_TO_WRITE, _ROLE_FILE_FOR_RELAY):
                values[k] = _checked_file(self, member, param, values[k])
        keep = []
        argv = (_Variant * max(1, len(values)))()
        for k, param in enumerate(member.params):
            argv[k] = _to_variant(member, param, values[k], keep)
        if needs_robot and not self._connected:
            raise NotConnectedError("%s(): call connectRobot first (the control drops commands and reads no "
                                    "records before it)" % member.name)
        result = _Variant()
        status = _tv_invoke(handle, member.dispid, argv, len(values), ctypes.byref(result))
        self.host._deliver_messages()  # what the call itself said
        if status != 0:
            raise TalvenorError(member.name, status)
        value = _from_variant(result)
        if member.flags & _MEMBER_WRITES_FILE and value is False:
            raise FileError("%s(): '%s' could not be written" % (member.name, values[0]))
        return value

    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    params += [inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=_PY_TYPES[p.type])
               for p in member.params]
    method.__signature__ = inspect.Signature(params, return_annotation=_PY_TYPES[member.type])
    method.__name__ = member.name
    method.__qualname__ = "Control." + member.name
    method.__doc__ = _describe(member)
    return method


class _PropertyParam:
    """A property's value as a parameter: its type's whole range."""

    def __init__(self, member):
        self.name, self.type, self.meaning = member.name, member.type, ""
        self.min, self.max = (-32768, 32767) if member.type == TV_SHORT else (-2 ** 31, 2 ** 31 - 1)


def _make_property(member):
    def get(self):
        v = _Variant()
        status = _tv_get_property(self._live(), member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)
        return _from_variant(v)

    def put(self, value):
        keep = []
        v = _to_variant(member, _PropertyParam(member), value, keep)
        status = _tv_put_property(self._live(), member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)

    return property(get, None if member.flags & _MEMBER_READ_ONLY else put,
                    doc="%s (%s, DISPID %d): %s." % (member.name, _TYPE_NAMES[member.type], member.dispid,
                                                     member.help))


try:  # numpy arrays when numpy is there; bytes otherwise
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the machine
    _np = None

# The longest stretch spent in C at once. Ctrl-C ends a wait in C at once (the signal interrupts it);
# the slice bounds the wait when the signal went to another thread, and is the idle program's pace.
_SLICE_MS = 200


def _seconds(what, value):
    """A duration as a caller gives it: a number of seconds, not a text nor a bool."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ArgumentTypeError("%s takes a number of seconds, not %s" % (what, type(value).__name__))
    if value != value:
        raise ArgumentValueError("%s takes a number of seconds, not NaN" % what)
    return float(value)


class Host:
    """Delivers its controls' records on the calling thread when pumped (run, run_until, readings).

    The host waits on the doorbells of the robot's sections and takes every record the moment it
    arrives, in order, however fast the robot sends; ``Host(ticking=True)`` instead takes one
    record per section every 30 ms, as the windowed controls do. Controls join the module's default
    host unless given another. To fit into another event loop, call process_due() whenever
    ms_until_due() has passed, or use the asyncio waits of Control.

    The library keeps the events and messages it produces; the host hands them to handlers here, in
    Python, after each short stretch in the library. No Python code runs inside the library, so
    Ctrl-C (KeyboardInterrupt) always reaches the caller, within a stretch (at most 90 ms)."""

    def __init__(self, ticking=False):
        self._handle = _tv_host_create()
        self.ticking = bool(ticking)
        _tv_host_set_ticking(self._handle, int(self.ticking))
        _tv_host_queue_messages(self._handle, 1)
        self.messages = []
        self.on_message = None
        self._controls = weakref.WeakSet()
        self._pumps = {}  # asyncio loop -> scheduled pump handle
        self._waiters = []  # asyncio waits of this host's controls
        self._loop_controls = {}  # asyncio loop -> controls open on it (async with)

    def _deliver_messages(self):
        text = ctypes.c_char_p()
        while self._handle and _tv_host_next_message(self._handle, ctypes.byref(text)):
            message = text.value.decode(errors="replace")
            self.messages.append(message)
            if self.on_message is not None:
                self.on_message(message)
            else:
                _log.warning("%s", message)

    def _deliver(self):
        """Hands what the library kept to Python: messages, then every control's events in order. A
        handler's exception comes out here, on the pumping thread; the events after it wait for the
        next delivery."""
        self._deliver_messages()
        for control in list(self._controls):
            control._deliver()

    def _wait(self, end):
        """One wait in C, until something arrives or is due, at most until `end` (time.monotonic()
        seconds) and at most a slice; False when `end` has passed."""
        from . import _clock
        left = end - time.monotonic()
        if left <= 0:
            return False
        _tv_host_wait(self._handle, max(1, min(_SLICE_MS, int(left * 1000 / _clock.scale()))))
        self._deliver()
        return True

    def run(self, seconds):
        """Pumps for `seconds` (in the relay's time scale), firing events as records arrive. Ctrl-C
        (KeyboardInterrupt) comes through at once."""
        from . import _clock
        end = time.monotonic() + max(0.0, _seconds("run()", seconds)) * _clock.scale()
        while self._wait(end):
            pass

    def run_until(self, predicate, timeout):
        """Pumps until predicate() is true or `timeout` seconds have passed; returns predicate().
        The predicate is asked again after every record's events."""
        from . import _clock
        end = time.monotonic() + _seconds("run_until()", timeout) * _clock.scale()
        if not callable(predicate):
            raise ArgumentTypeError("run_until() takes a function that says when to stop, not %s"
                                    % type(predicate).__name__)
        while self._wait(end):
            if predicate():
                return True
        return bool(predicate())

    def process_due(self):
        ran = _tv_host_process_due(self._handle)
        self._deliver()
        return ran

    def ms_until_due(self):
        return _tv_host_ms_until_due(self._handle)

    def _pump_in(self, loop):
        """Keeps the timers running on an asyncio loop while a control of this host is open on it or a
        wait is pending: wakes when the next timer is due, never spins. What the handlers raise is
        kept by their control and raised where its program awaits it."""
        if loop in self._pumps:
            return
        from . import _clock

        def pump():
            self._pumps.pop(loop, None)
            if not self._handle:
                return
            _tv_host_process_due(self._handle)
            self._deliver_messages()
            for control in list(self._controls):
                try:
                    control._deliver()
                except (KeyboardInterrupt, SystemExit):
                    raise
                except BaseException as error:  # noqa: BLE001 - handed to where the program awaits
                    control._fail(error)
            if not (self._waiters or self._loop_controls.get(loop)):
                return
            if self.ticking:
                wait = self.ms_until_due()
                delay = 0.03 if wait < 0 else wait / 1000.0
                self._pumps[loop] = loop.call_later(delay * _clock.scale(), pump)
                return
            # The doorbells are waited on in a worker thread, which only sleeps in the system: the
            # records are taken and every handler runs here, on the loop.
            armed = _tv_host_arm(self._handle)
            if not armed:
                self._pumps[loop] = loop.call_soon(pump)
                return
            try:
                future = loop.run_in_executor(None, _wait_armed, armed)
            except RuntimeError:
                # The loop is ending (asyncio.run has shut its executor down while something still
                # waited on it): nothing is pumped on it any more.
                _tv_doorbells_free(armed)
                return
            future.add_done_callback(lambda _: pump())  # run on the loop, as every callback of its futures
            self._pumps[loop] = future

        self._pumps[loop] = loop.call_soon(pump)

    def __del__(self):
        if getattr(self, "_handle", None):
            _tv_host_destroy(self._handle)
            self._handle = None


def _wait_armed(armed):
    """The pump's wait, in the worker thread; the worker frees what it waited on, so nothing is left
    behind when the loop closes before the wait's callback runs."""
    try:
        return _tv_doorbells_wait(armed, _SLICE_MS)
    finally:
        _tv_doorbells_free(armed)


_default_host = None


def default_host():
    global _default_host
    if _default_host is None:
        _default_host = Host()
    return _default_host


def run(seconds):
    """Pumps the default host for `seconds`."""
    default_host().run(seconds)


def served_robots():
    """The robot names relays serve on this machine, sorted (names are case-sensitive)."""
    buffer = ctypes.create_string_buffer(1 << 16)
    _tv_served_robots(buffer, len(buffer))
    return [name for name in buffer.value.decode(errors="replace").split("\n") if name]




def _takes_an_argument(handler):
    try:
        sig = inspect.signature(handler)
    except (TypeError, ValueError):
        return False
    positional = [p for p in sig.parameters.values()
                  if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD) and p.default is p.empty]
    return len(positional) >= 1 or any(p.kind == p.VAR_POSITIONAL for p in sig.parameters.values())


class _EventStream:
    """What events() hands out: an async iterator with a bounded queue of its own."""

    def __init__(self, control, names, maxsize):
        self._control, self._names, self._maxsize = control, names, max(1, int(maxsize))
        self._items = collections.deque()
        self._failure = None
        self._wake = None
        self.dropped = 0
        self._registered = False

    def _waiter(self, control, name, payload):
        if control is not self._control:
            return
        if name is None:
            self._failure = payload
        elif name in self._names:
            if len(self._items) >= self._maxsize:
                self._items.popleft()
                self.dropped += 1
            self._items.append(payload)
        else:
            return
        if self._wake is not None and not self._wake.done():
            self._wake.set_result(None)

    def __aiter__(self):
        return self

    async def __anext__(self):
        control = self._control
        if not self._registered:
            # The host holds the stream weakly: a stream its program let go of (``break`` out of
            # ``async for``) is closed at once, and the pump stops when nothing else waits.
            ref = weakref.ref(self)

            def waiter(control, name, payload):
                stream = ref()
                if stream is not None:
                    stream._waiter(control, name, payload)

            self._registration = waiter
            control.host._waiters.append(waiter)
            self._registered = True
        loop = asyncio.get_running_loop()
        control._raise_failure()
        while not self._items:
            if self._failure is not None:
                error, self._failure = self._failure, None
                control._failure = None
                self.close()
                raise error
            control._live()
            self._wake = loop.create_future()
            control.host._pump_in(loop)
            await self._wake
        return self._items.popleft()

    def close(self):
        if self._registered:
            self._control.host._waiters.remove(self._registration)
            self._registered = False

    async def aclose(self):
        """Stops the stream, as leaving its ``async for`` does."""
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 - the host may be gone at interpreter exit
            pass


class _Members:
    """The control's methods and properties, each made from its entry in the control's dispatch table
    (set on this class below); Control adds to them and may wrap one."""


class Control(_Members):
    """One talvenor control.

    ``Control()`` creates it; ``Control("R1")`` also connects it to robot R1 (raising ConnectError when
    it cannot); ``Control("R1", wait=5)`` also waits up to 5 seconds for a relay that serves R1, and
    raises ConnectError naming the robots that relays do serve when none does (a name is at most 29
    bytes, and case counts); ``Control(progid=...)`` creates it through the per-user registry of
    control servers.
    With ``stop_motors_on_exit=True``, leaving a ``with`` block (an exception included) sends the stop
    commands for every DC motor and servo first."""

    def __init__(self, robot=None, progid=None, host=None, stop_motors_on_exit=False, wait=None):
        handle = ctypes.c_void_p()
        if progid is None:
            status = _tv_create(ctypes.byref(handle))
        else:
            status = _tv_create_from_registry(progid.encode(), ctypes.byref(handle))
        if status != 0:
            raise TalvenorError("creating the control", status)
        self._handle = handle.value
        self._connected = False
        self._handlers = {}
        self._picture = None
        self._voice = None
        _tv_queue_events(self._handle, 1)
        self.host = host if host is not None else default_host()
        self.stop_motors_on_exit = stop_motors_on_exit
        _tv_host_attach(self.host._handle, self._handle)
        self.host._controls.add(self)
        if robot is not None:
            self.connectRobot(robot)
            if wait is not None:
                self.wait_for_relay(wait)

    def _live(self):
        if not getattr(self, "_handle", None):
            raise ClosedError("the control is closed")
        return self._handle

    # -- connection -----------------------------------------------------------------------------
    def connectRobot(self, robotName: str) -> None:
        """connectRobot(robotName: str) -> None

        Opens the robot's sections under its name and starts polling them. Raises ConnectError
        naming the robot and the reason when the name cannot name the sections, or they belong to
        another user. Whether a relay serves the name is another matter: see relay_state()."""
        handle = self._live()
        try:
            super().connectRobot(robotName)
        except BaseException:
            self._connected = False
            raise
        reason = _tv_last_error(handle)
        if reason:
            self._connected = False
            raise ConnectError(robotName, reason.decode(errors="replace").split(": ", 1)[-1])
        self._connected = True
        self._robot = robotName

    def wait_for_relay(self, timeout=5.0):
        """Waits (pumping) until a relay serves this control's robot name; raises ConnectError when
        none does within `timeout` seconds, naming the robots relays serve on this machine."""
        if self.host.run_until(lambda: self.relay_state() != "no-relay", _seconds("wait_for_relay()", timeout)):
            return
        robot = self._robot
        served = served_robots()
        alike = [name for name in served if name.lower() == robot.lower()]
        hint = ("; did you mean '%s'? (names are case-sensitive)" % alike[0]) if alike else ""
        listed = ", ".join("'%s'" % name for name in served) if served else "none"
        self.close()
        raise ConnectError(robot, "no relay serves this name%s; served on this machine: %s" % (hint, listed))

    def relay_state(self) -> str:
        """"no-relay" when no relay serves this robot name (or connectRobot was not called), "down"
        while a relay serves it but its link is being made, "not-answering" while its link is open and
        the robot does not answer (not yet, or not for the last two keep-alives: about 4 s), "up"
        while the robot answers. A relay of an older version, which publishes nothing, shows as
        "no-relay". Readings carry the moment they were taken (``reading.age()``): one that is old
        while the state is not "up" tells of a robot that went quiet."""
        return _tv_relay_state_name(_tv_relay_state(self._live())).decode()

    def lapped(self):
        """Records the relay overwrote before the control took them, per section, since connectRobot:
        a program that does not pump for a while (a section holds five records), or a stream faster
        than the ticks of a ticking host (one record per section every 30 ms), loses records; this
        counts them."""
        handle = self._live()
        return {name: _tv_lapped(handle, k) for k, name in enumerate(("standard", "motor", "custom", "image", "voice"))}

    def commands_not_stored(self) -> int:
        """Commands that could not be put into the command section since connectRobot, because its
        relay did not read for a second while the ring was full: they never reach the robot."""
        return _tv_commands_not_stored(self._live())

    # -- events ---------------------------------------------------------------------------------
    def on(self, event, handler):
        """Calls handler each time `event` fires ("StandardSensorEvent", "MotorSensorEvent",
        "CustomSensorEvent", "ImageEvent", "VoiceSegmentEvent"; any case). A handler that takes one
        argument is given what came: the reading, the picture, or the voice segment."""
        m = _EVENTS.get(str(event).lower())
        if m is None:
            raise ArgumentValueError("no event '%s'; the control has %s" % (event, ", ".join(m.name for m in _EVENT_BY_DISPID.values())))
        if not callable(handler):
            raise ArgumentTypeError("the handler must be callable")
        self._handlers.setdefault(m.dispid, []).append((handler, _takes_an_argument(handler)))
        return handler

    def off(self, event, handler=None):
        m = _EVENTS.get(str(event).lower())
        if m is None:
            return
        if handler is None:
            self._handlers.pop(m.dispid, None)
        else:
            self._handlers[m.dispid] = [h for h in self._handlers.get(m.dispid, []) if h[0] is not handler]

    def _deliver(self):
        """Takes this control's kept events, oldest first, each with what came with it, and runs the
        waits and handlers of each."""
        event = _Event()
        while getattr(self, "_handle", None) and _tv_next_event(self._handle, ctypes.byref(event)):
            member = _EVENT_BY_DISPID.get(event.dispid)
            name, section = (member.name, member.section) if member is not None else ("", -1)
            data = ctypes.string_at(event.data, event.size) if event.size else b""
            _tv_use_event(self._handle, ctypes.byref(event))  # getters read this event's record
            if 0 <= section < len(READING_CLASSES):
                payload = READING_CLASSES[section].from_record(data, event.taken_at)
            elif section == _SECTION_IMAGE:
                self._picture = data  # this control's own copy of the picture, taken at its event
                payload = self.image()
            elif section == _SECTION_AUDIO:
                payload = _np.frombuffer(data, dtype="<i2") if _np is not None else data
            else:
                payload = None
            # Handlers first: one that raises keeps the event from the waits, which hear of the error.
            for handler, wants in list(self._handlers.get(event.dispid, ())):
                handler(payload) if wants else handler()
            for waiter in list(self.host._waiters):
                waiter(self, name, payload)

    def run(self, seconds):
        """Pumps this control's host for `seconds`; an exception from a handler comes out here, and so
        does KeyboardInterrupt within a few milliseconds of Ctrl-C."""
        self._live()
        self.host.run(seconds)

    def run_until(self, predicate, timeout=10.0):
        self._live()
        return self.host.run_until(predicate, timeout)

    # -- asyncio --------------------------------------------------------------------------------
    async def __aenter__(self):
        """``async with talvenor.Control("R1") as ctl:`` opens the control on the running loop: its
        records are delivered there (handlers run during any await, ``asyncio.sleep`` included) until
        the block ends. A handler's exception is raised where the program next awaits this control
        (wait_for, events, readings) or at the end of the block."""
        loop = asyncio.get_running_loop()
        self._live()
        self.host._loop_controls.setdefault(loop, set()).add(self)
        self._loop = loop
        self.host._pump_in(loop)
        return self

    async def __aexit__(self, *exc):
        users = self.host._loop_controls.get(getattr(self, "_loop", None))
        if users is not None:
            users.discard(self)
        try:
            if self.stop_motors_on_exit and getattr(self, "_handle", None):
                self.stop_motors()
        finally:
            self.close()
        if exc[0] is None:
            self._raise_failure()

    def _fail(self, error):
        """A handler raised while the records were delivered on a loop: the program hears of it where
        it awaits this control."""
        self._failure = error
        for waiter in list(self.host._waiters):
            waiter(self, None, error)

    def _raise_failure(self):
        error = getattr(self, "_failure", None)
        if error is not None:
            self._failure = None
            raise error

    async def wait_for(self, event, timeout=None):
        """Waits, inside an asyncio loop, for the next `event` of this control and returns what came
        with it (as a handler taking one argument gets it). The host's timers run on the loop
        meanwhile; nothing spins. A handler's exception is raised here."""
        m = _EVENTS.get(str(event).lower())
        if m is None:
            raise ArgumentValueError("no event '%s'; the control has %s" % (event, ", ".join(m.name for m in _EVENT_BY_DISPID.values())))
        self._live()
        self._raise_failure()
        loop = asyncio.get_running_loop()
        future = loop.create_future()

        def waiter(control, name, payload):
            if control is not self or future.done():
                return
            if name is None:
                future.set_exception(payload)
            elif name == m.name:
                future.set_result(payload)

        self.host._waiters.append(waiter)
        try:
            self.host._pump_in(loop)
            return await asyncio.wait_for(future, timeout)
        finally:
            self.host._waiters.remove(waiter)
            if future.done() and not future.cancelled() and future.exception() is not None:
                self._failure = None  # raised here already

    def events(self, event, maxsize=100):
        """An async iterator over what each `event` brings: ``async for reading in ctl.events(...)``.
        Every event from the moment it is made is kept for it, in order, while the consumer is busy;
        beyond `maxsize` kept events the oldest is dropped and counted in its ``dropped``."""
        m = _EVENTS.get(str(event).lower())
        if m is None:
            raise ArgumentValueError("no event '%s'; the control has %s" % (event, ", ".join(m.name for m in _EVENT_BY_DISPID.values())))
        self._live()
        return _EventStream(self, (m.name,), maxsize)

    def readings(self, timeout=None):
        """The sensor readings (standard, motor and custom) as they arrive, each once and in order:
        ``for reading in ctl.readings(): ...``. Waits for each on the robot's doorbells (nothing
        spins, Ctrl-C comes through at once); ends when no reading came for `timeout` seconds
        (never, by default). Handlers of other events run meanwhile."""
        limit = None if timeout is None else _seconds("readings()", timeout)
        self._live()
        items = collections.deque()

        def waiter(control, name, payload):
            if control is self and name in _SENSOR_EVENT_NAMES:
                items.append(payload)

        self.host._waiters.append(waiter)
        try:
            while True:
                while items:
                    yield items.popleft()
                self._live()
                if not self.host.run_until(lambda: bool(items), 3600.0 if limit is None else limit) and limit is not None:
                    return
        finally:
            self.host._waiters.remove(waiter)

    def areadings(self, maxsize=100):
        """readings() for asyncio: ``async for reading in ctl.areadings(): ...``, the doorbells
        waited on beside the loop. Beyond `maxsize` readings not yet consumed, the oldest is dropped
        and counted in the stream's ``dropped``."""
        self._live()
        return _EventStream(self, _SENSOR_EVENT_NAMES, maxsize)

    # -- the table ------------------------------------------------------------------------------
    @staticmethod
    def dispid(name):
        """The DISPID of a method or property (case-insensitive)."""
        m = _BY_LOWER.get(str(name).lower())
        if m is None:
            raise AttributeError("the control has no method or property '%s'" % name)
        return m.dispid

    @property
    def modified(self):
        return bool(_tv_modified(self._live()))

    # -- readings and media ---------------------------------------------------------------------
    def _reading(self, cls):
        size = ctypes.c_size_t()
        p = _tv_record(self._live(), READING_CLASSES.index(cls), ctypes.byref(size))
        if not p:
            return None
        return cls.from_record(ctypes.string_at(p, size.value))

    def standard(self):
        """The latest standard sensor record as a StandardReading, or None before the first."""
        return self._reading(StandardReading)

    def motor(self):
        """The latest motor sensor record as a MotorReading, or None before the first."""
        return self._reading(MotorReading)

    def custom(self):
        """The latest custom sensor record as a CustomReading, or None before the first."""
        return self._reading(CustomReading)

    def has_picture(self):
        """True once a picture came for this control (SavePhotoAsBMP saves black until then)."""
        self._live()
        return self._picture is not None

    def image(self):
        """This control's latest picture, 176 x 144 pixels of R G B, top row first: a read-only
        (144, 176, 3) uint8 numpy array when numpy is there (a view of this control's copy of the
        picture: ``image().copy()`` to change it), else 76032 bytes. Before a picture came, black."""
        self._live()
        data = self._picture if self._picture is not None else bytes(176 * 144 * 3)
        if _np is not None:
            return _np.frombuffer(data, dtype=_np.uint8).reshape(144, 176, 3)
        return data

    def image_luma(self):
        """The last frame's luminance plane: 25344 bytes, 176 x 144 grey values, top row first."""
        size = ctypes.c_size_t()
        p = _tv_luma(self._live(), ctypes.byref(size))
        return ctypes.string_at(p, min(size.value, 176 * 144))

    def voice_segment(self):
        """A copy of the latest voice segment: 16-bit little-endian mono samples."""
        size = ctypes.c_size_t()
        p = _tv_voice(self._live(), ctypes.byref(size))
        return ctypes.string_at(p, size.value) if size.value else b""

    def voice(self):
        """The latest voice segment: an int16 numpy array when numpy is there, else its bytes."""
        data = self.voice_segment()
        if _np is not None:
            return _np.frombuffer(data, dtype="<i2")
        return data

    # -- safety ---------------------------------------------------------------------------------
    def stop_motors(self):
        """Stops the robot: PWM 0 and velocity 0 on every DC motor channel (0..5), then every DC motor
        and servo (0..5) disabled. The web dashboard's Stop does the same."""
        if not self._connected:
            raise NotConnectedError("stop_motors(): call connectRobot first")
        _tv_stop_motors(self._live())

    def close(self):
        """Destroys the control now (otherwise when it is garbage-collected). Safe from a handler."""
        if getattr(self, "_handle", None):
            _tv_destroy(self._handle)
            self._handle = None

    def __del__(self):
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            if self.stop_motors_on_exit and getattr(self, "_handle", None):
                self.stop_motors()
        finally:
            self.close()

    def __dir__(self):
        return sorted(set(super().__dir__()) | {m.name for m in _MEMBERS if m.kind != _KIND_EVENT})

    def __getattr__(self, name):
        # Automation names are case-insensitive: ctl.getsensorsonar1() finds GetSensorSonar1.
        m = _BY_LOWER.get(name.lower())
        if m is None or name.startswith("_"):
            raise AttributeError("the control has no method or property '%s'" % name)
        return getattr(self, m.name)

    def __setattr__(self, name, value):
        m = _BY_LOWER.get(name.lower()) if not name.startswith("_") else None
        if m is not None and m.kind == _KIND_PROPERTY and name != m.name:
            name = m.name
        if m is not None and m.kind == _KIND_METHOD:
            raise AttributeError("%s is a method of the control, not a property" % m.name)
        object.__setattr__(self, name, value)


for _m in _MEMBERS:
    if _m.kind == _KIND_METHOD:
        setattr(_Members, _m.name, _make_method(_m))
    elif _m.kind == _KIND_PROPERTY:
        setattr(_Members, _m.name, _make_property(_m))
del _m
