"""Drive a robot from Python through the talvenor control.

    import talvenor
    ctl = talvenor.Control()
    ctl.connectRobot("R1")
    ctl.on("StandardSensorEvent", lambda: print("sonar 1:", ctl.GetSensorSonar1()))
    ctl.EnableStandardSensorSending()
    ctl.run(5)                      # pump the control's 30 ms timer for five seconds

Every method, property and event of the control is built at import from the control's own dispatch
table, so names, parameters and help texts are those of the control itself: ``help(ctl.DcMotorPwmNonTimeCtr)``.
The relay (``trevask``) must run for the same robot name for anything to reach a robot.
"""

import ctypes
import inspect
import os

from ._library import load_library

__all__ = ["Control", "Host", "TalvenorError", "run", "members"]

_lib = load_library()

TV_EMPTY, TV_SHORT, TV_LONG, TV_STRING, TV_BOOL, TV_ADDRESS, TV_BUFFER = 0, 2, 3, 8, 11, 37, 65
_KIND_METHOD, _KIND_PROPERTY, _KIND_EVENT = 1, 2, 3
_TYPE_NAMES = {TV_EMPTY: "None", TV_SHORT: "short", TV_LONG: "long", TV_STRING: "str", TV_BOOL: "bool",
               TV_ADDRESS: "address", TV_BUFFER: "bytearray"}


class _Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int32), ("reserved", ctypes.c_int32), ("i", ctypes.c_int64),
                ("s", ctypes.c_char_p), ("data", ctypes.c_void_p), ("size", ctypes.c_size_t)]


class _MemberInfo(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("dispid", ctypes.c_int32), ("name", ctypes.c_char_p),
                ("type", ctypes.c_int32), ("param_count", ctypes.c_int32),
                ("param_names", ctypes.c_char_p * 8), ("param_types", ctypes.c_int32 * 8),
                ("help", ctypes.c_char_p), ("implementation", ctypes.c_char_p)]


_EVENT_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_char_p)
_MESSAGE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


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
_tv_set_event_callback = _declare("tv_set_event_callback", None, _c.c_void_p, _EVENT_CALLBACK, _c.c_void_p)
_tv_modified = _declare("tv_modified", _c.c_int32, _c.c_void_p)
_tv_image = _declare("tv_image", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_luma = _declare("tv_luma", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_voice = _declare("tv_voice", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
_tv_host_create = _declare("tv_host_create", _c.c_void_p)
_tv_host_destroy = _declare("tv_host_destroy", None, _c.c_void_p)
_tv_host_attach = _declare("tv_host_attach", None, _c.c_void_p, _c.c_void_p)
_tv_host_detach = _declare("tv_host_detach", None, _c.c_void_p)
_tv_host_process_due = _declare("tv_host_process_due", _c.c_int32, _c.c_void_p)
_tv_host_ms_until_due = _declare("tv_host_ms_until_due", _c.c_int64, _c.c_void_p)
_tv_host_run_for = _declare("tv_host_run_for", None, _c.c_void_p, _c.c_uint32)
_tv_host_set_message_callback = _declare("tv_host_set_message_callback", None, _c.c_void_p, _MESSAGE_CALLBACK,
                                         _c.c_void_p)


class TalvenorError(Exception):
    """A call the control refused; ``status`` holds its dispatch status code."""

    def __init__(self, what, status):
        self.status = status & 0xFFFFFFFF
        super().__init__("%s: %s (0x%08X)" % (what, _tv_status_text(status).decode(), self.status))


class _Member:
    __slots__ = ("kind", "dispid", "name", "type", "params", "help", "implementation")

    def __init__(self, info):
        self.kind = info.kind
        self.dispid = info.dispid
        self.name = info.name.decode()
        self.type = info.type
        self.params = [(info.param_names[k].decode(), info.param_types[k]) for k in range(info.param_count)]
        self.help = info.help.decode()
        self.implementation = info.implementation.decode()


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
_EVENT_NAMES = {m.dispid: m.name for m in _MEMBERS if m.kind == _KIND_EVENT}


def members():
    """(kind, dispid, name) of every method, property and event, in the table's order."""
    kinds = {_KIND_METHOD: "method", _KIND_PROPERTY: "property", _KIND_EVENT: "event"}
    return [(kinds[m.kind], m.dispid, m.name) for m in _MEMBERS]


def _to_variant(member, pname, ptype, value, keep):
    v = _Variant()
    where = "%s(): argument '%s'" % (member.name, pname)
    if ptype in (TV_SHORT, TV_LONG):
        if isinstance(value, bool) or not isinstance(value, int):
            if hasattr(value, "__index__") and not isinstance(value, bool):
                value = value.__index__()
            else:
                raise TypeError("%s must be an integer, not %s" % (where, type(value).__name__))
        lo, hi = (-32768, 32767) if ptype == TV_SHORT else (-2 ** 31, 2 ** 31 - 1)
        if not lo <= value <= hi:
            raise OverflowError("%s is %d, outside the %s range %d..%d" % (where, value, _TYPE_NAMES[ptype], lo, hi))
        v.type, v.i = ptype, value
    elif ptype == TV_STRING:
        if isinstance(value, os.PathLike):
            value = os.fspath(value)
        if isinstance(value, str):
            value = value.encode()
        if not isinstance(value, bytes):
            raise TypeError("%s must be a string, not %s" % (where, type(value).__name__))
        if b"\0" in value:
            raise ValueError("%s holds a zero character" % where)
        keep.append(value)
        v.type, v.s = TV_STRING, value
    elif ptype == TV_BUFFER:
        try:
            view = memoryview(value)
        except TypeError:
            raise TypeError("%s must be a writable buffer such as a bytearray, not %s"
                            % (where, type(value).__name__)) from None
        if view.readonly:
            raise TypeError("%s must be writable (a bytearray, not bytes)" % where)
        if view.nbytes == 0:
            v.type, v.data, v.size = TV_BUFFER, None, 0
        else:
            holder = (ctypes.c_char * view.nbytes).from_buffer(view.cast("B"))
            keep.append(holder)
            v.type, v.data, v.size = TV_BUFFER, ctypes.addressof(holder), view.nbytes
    else:
        raise TypeError("%s has a type Python cannot pass" % where)
    return v


def _from_variant(v):
    if v.type == TV_EMPTY:
        return None
    if v.type == TV_BOOL:
        return bool(v.i)
    if v.type == TV_STRING:
        return v.s.decode() if v.s is not None else ""
    return int(v.i)


def _make_method(member):
    names = [p[0] for p in member.params]

    def method(self, *args, **kwargs):
        if len(args) > len(names):
            raise TypeError("%s() takes %d argument%s (%s), %d given" % (
                member.name, len(names), "" if len(names) == 1 else "s", ", ".join(names) or "none", len(args)))
        values = list(args)
        for pname in names[len(args):]:
            if pname not in kwargs:
                raise TypeError("%s() is missing argument '%s' (takes %s)" % (member.name, pname, ", ".join(names)))
            values.append(kwargs.pop(pname))
        if kwargs:
            raise TypeError("%s() got an unexpected argument '%s'" % (member.name, next(iter(kwargs))))
        keep = []
        argv = (_Variant * max(1, len(values)))()
        for k, (pname, ptype) in enumerate(member.params):
            argv[k] = _to_variant(member, pname, ptype, values[k], keep)
        result = _Variant()
        status = _tv_invoke(self._handle, member.dispid, argv, len(values), ctypes.byref(result))
        if status != 0:
            raise TalvenorError(member.name, status)
        value = _from_variant(result)
        self._raise_pending()
        return value

    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    params += [inspect.Parameter(n, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=_TYPE_NAMES[t])
               for n, t in member.params]
    method.__signature__ = inspect.Signature(params, return_annotation=_TYPE_NAMES[member.type])
    method.__name__ = member.name
    method.__qualname__ = "Control." + member.name
    same = ""
    if member.implementation != member.name:
        same = "\nSame operation as %s." % member.implementation
    method.__doc__ = "%s(%s) -> %s\n\n%s.%s\n\nDISPID %d." % (
        member.name, ", ".join("%s: %s" % (n, _TYPE_NAMES[t]) for n, t in member.params),
        _TYPE_NAMES[member.type], member.help[:1].upper() + member.help[1:], same, member.dispid)
    return method


def _make_property(member):
    def get(self):
        v = _Variant()
        status = _tv_get_property(self._handle, member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)
        return _from_variant(v)

    def put(self, value):
        keep = []
        v = _to_variant(member, member.name, member.type, value, keep)
        status = _tv_put_property(self._handle, member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)

    return property(get, put, doc="%s (%s, DISPID %d): %s." % (member.name, _TYPE_NAMES[member.type],
                                                                member.dispid, member.help))


class Host:
    """Runs the 30 ms polling timers of its controls on the calling thread when pumped.

    Controls join the module's default host unless given another. To fit into another event loop,
    call process_due() whenever ms_until_due() has passed."""

    def __init__(self):
        self._handle = _tv_host_create()
        self.messages = []
        self._message_callback = _MESSAGE_CALLBACK(self._on_message)
        _tv_host_set_message_callback(self._handle, self._message_callback, None)
        self.on_message = None

    def _on_message(self, _user, text):
        text = text.decode(errors="replace")
        self.messages.append(text)
        if self.on_message is not None:
            self.on_message(text)
        else:
            import sys
            print("message:", text, file=sys.stderr)

    def run(self, seconds):
        """Pumps for `seconds` (in the relay's time scale), firing events as records arrive."""
        _tv_host_run_for(self._handle, max(0, int(seconds * 1000)))

    def run_until(self, predicate, timeout):
        """Pumps until predicate() is true or `timeout` seconds have passed; returns predicate()."""
        import time
        from . import _clock
        end = time.monotonic() + timeout * _clock.scale()
        while time.monotonic() < end:
            _tv_host_run_for(self._handle, 10)
            if predicate():
                return True
        return bool(predicate())

    def process_due(self):
        return _tv_host_process_due(self._handle)

    def ms_until_due(self):
        return _tv_host_ms_until_due(self._handle)

    def __del__(self):
        if getattr(self, "_handle", None):
            _tv_host_destroy(self._handle)
            self._handle = None


_default_host = None


def default_host():
    global _default_host
    if _default_host is None:
        _default_host = Host()
    return _default_host


def run(seconds):
    """Pumps the default host for `seconds`."""
    default_host().run(seconds)


class Control:
    """One talvenor control. ``Control()`` creates it directly; ``Control(progid=...)`` through the
    per-user registry of control servers (see talvenor-regsvr)."""

    def __init__(self, progid=None, host=None):
        handle = ctypes.c_void_p()
        if progid is None:
            status = _tv_create(ctypes.byref(handle))
        else:
            status = _tv_create_from_registry(progid.encode(), ctypes.byref(handle))
        if status != 0:
            raise TalvenorError("creating the control", status)
        self._handle = handle.value
        self._handlers = {}
        self._pending = []
        self._callback = _EVENT_CALLBACK(self._on_event)
        _tv_set_event_callback(self._handle, self._callback, None)
        self.host = host if host is not None else default_host()
        _tv_host_attach(self.host._handle, self._handle)

    # -- events ---------------------------------------------------------------------------------
    def on(self, event, handler):
        """Calls handler() each time `event` fires ("StandardSensorEvent", "MotorSensorEvent",
        "CustomSensorEvent", "ImageEvent", "VoiceSegmentEvent"; any case)."""
        m = _EVENTS.get(str(event).lower())
        if m is None:
            raise ValueError("no event '%s'; the control has %s" % (event, ", ".join(_EVENT_NAMES.values())))
        if not callable(handler):
            raise TypeError("the handler must be callable")
        self._handlers.setdefault(m.dispid, []).append(handler)
        return handler

    def off(self, event, handler=None):
        m = _EVENTS.get(str(event).lower())
        if m is None:
            return
        if handler is None:
            self._handlers.pop(m.dispid, None)
        else:
            self._handlers[m.dispid] = [h for h in self._handlers.get(m.dispid, []) if h is not handler]

    def _on_event(self, _user, dispid, _name):
        for handler in list(self._handlers.get(dispid, ())):
            try:
                handler()
            except BaseException as error:  # raised again on the pumping thread, after the tick
                self._pending.append(error)

    def _raise_pending(self):
        if self._pending:
            error = self._pending.pop(0)
            self._pending.clear()
            raise error

    def run(self, seconds):
        """Pumps this control's host for `seconds`; an exception from a handler comes out here."""
        self.host.run(seconds)
        self._raise_pending()

    def run_until(self, predicate, timeout=10.0):
        done = self.host.run_until(lambda: bool(self._pending) or predicate(), timeout)
        self._raise_pending()
        return done

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
        return bool(_tv_modified(self._handle))

    # -- safe views of the control's memory -----------------------------------------------------
    def image(self):
        """The decoded camera picture: 76032 bytes, 176 x 144 pixels of R G B, top row first."""
        size = ctypes.c_size_t()
        p = _tv_image(self._handle, ctypes.byref(size))
        return ctypes.string_at(p, size.value)

    def image_luma(self):
        """The last frame's luminance plane: 25344 bytes, 176 x 144 grey values, top row first."""
        size = ctypes.c_size_t()
        p = _tv_luma(self._handle, ctypes.byref(size))
        return ctypes.string_at(p, min(size.value, 176 * 144))

    def voice_segment(self):
        """A copy of the latest voice segment: 16-bit little-endian mono samples."""
        size = ctypes.c_size_t()
        p = _tv_voice(self._handle, ctypes.byref(size))
        return ctypes.string_at(p, size.value) if size.value else b""

    def close(self):
        """Destroys the control now (otherwise when it is garbage-collected)."""
        if getattr(self, "_handle", None):
            _tv_destroy(self._handle)
            self._handle = None

    def __del__(self):
        self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __dir__(self):
        return sorted(set(super().__dir__()) | {m.name for m in _MEMBERS if m.kind != _KIND_EVENT})

    def __getattr__(self, name):
        # Automation names are case-insensitive: ctl.getsensorsonar1() finds GetSensorSonar1.
        m = _BY_LOWER.get(name.lower())
        if m is None or name.startswith("_"):
            raise AttributeError("the control has no method or property '%s'" % name)
        if m.kind == _KIND_PROPERTY:
            return getattr(self, m.name)
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
        setattr(Control, _m.name, _make_method(_m))
    elif _m.kind == _KIND_PROPERTY:
        setattr(Control, _m.name, _make_property(_m))
del _m
