"""Calls into the control through its dispatch table: Python values checked and turned into the
library's variants, files a method names checked before anything is sent, and the control's methods
and properties made from their table entries."""

import ctypes
import inspect
import os

from ._abi import (MEMBER_NEEDS_ROBOT, MEMBER_READ_ONLY, MEMBER_WRITES_FILE, KIND_METHOD, KIND_PROPERTY,
                   ROLE_FILE_FOR_RELAY, ROLE_FILE_TO_READ, ROLE_FILE_TO_WRITE, TV_ADDRESS, TV_BOOL, TV_BUFFER,
                   TV_EMPTY, TV_LONG, TV_SHORT, TV_STRING, TYPE_NAMES, Variant, tv_check_lcd_file,
                   tv_check_sound_file, tv_get_property, tv_invoke, tv_put_property, tv_section_owner)
from ._errors import (ArgumentRangeError, ArgumentTypeError, ArgumentValueError, FileError, NotConnectedError,
                      TalvenorError)
from ._members import MEMBERS, describe


def to_variant(member, param, value, keep):
    v = Variant()
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
                                                                      param.meaning or TYPE_NAMES[ptype]))
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


def from_variant(v):
    if v.type == TV_EMPTY:
        return None
    if v.type == TV_BOOL:
        return bool(v.i)
    if v.type == TV_STRING:
        return v.s.decode() if v.s is not None else ""
    return int(v.i)


PY_TYPES = {TV_EMPTY: None, TV_SHORT: int, TV_LONG: int, TV_STRING: str, TV_BOOL: bool, TV_ADDRESS: int,
            TV_BUFFER: bytearray}


# Where a relay run as the service trevask@ cannot look: systemd gives it a /tmp of its own and hides
# the homes (PrivateTmp, ProtectHome).
_HIDDEN_FROM_SERVICE = ("/tmp/", "/var/tmp/", "/home/", "/root/", "/run/user/")


def checked_file(control, member, param, value):
    """A path a method names, made absolute (the relay runs in a folder of its own) and checked before
    anything is sent: the file must be of the kind the method takes, or (for one the control writes)
    its folder must be there."""
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if not isinstance(value, str):
        return value  # refused with its type by the argument check
    # "EOF" after a sound's name asks the relay to go on from the previous sound: the file is the name
    # before it, and the letters stay last.
    go_on = "EOF" if param.role == ROLE_FILE_FOR_RELAY and len(value) > 3 and value.endswith("EOF") else ""
    if go_on:
        value = value[:-3]
    path = os.path.abspath(value)
    where = "%s(): %s" % (member.name, path)
    if param.role == ROLE_FILE_TO_WRITE:
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            raise FileError("%s: the folder %s does not exist" % (where, folder))
        return path
    reason = ctypes.create_string_buffer(512)
    check = tv_check_sound_file if param.role == ROLE_FILE_FOR_RELAY else tv_check_lcd_file
    if check(path.encode(), reason, len(reason)) != 0:
        raise FileError("%s(): %s" % (member.name, reason.value.decode(errors="replace")))
    owner = tv_section_owner(control._handle)
    if param.role == ROLE_FILE_FOR_RELAY and owner not in (-1, os.geteuid()) and path.startswith(_HIDDEN_FROM_SERVICE):
        raise FileError("%s(): %s: the relay of this robot runs as another user (a service), which sees neither "
                        "/tmp nor the homes; put the file where it may read it, such as /var/lib/trevask/sounds"
                        % (member.name, path))
    return path + go_on


def _make_method(member):
    names = [p.name for p in member.params]
    needs_robot = bool(member.flags & MEMBER_NEEDS_ROBOT)

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
            if param.role in (ROLE_FILE_TO_READ, ROLE_FILE_TO_WRITE, ROLE_FILE_FOR_RELAY):
                values[k] = checked_file(self, member, param, values[k])
        keep = []
        argv = (Variant * max(1, len(values)))()
        for k, param in enumerate(member.params):
            argv[k] = to_variant(member, param, values[k], keep)
        if needs_robot and not self._connected:
            raise NotConnectedError("%s(): call connectRobot first (the control drops commands and reads no "
                                    "records before it)" % member.name)
        result = Variant()
        status = tv_invoke(handle, member.dispid, argv, len(values), ctypes.byref(result))
        self.host._deliver_messages()  # what the call itself said
        if status != 0:
            raise TalvenorError(member.name, status)
        value = from_variant(result)
        if member.flags & MEMBER_WRITES_FILE and value is False:
            raise FileError("%s(): '%s' could not be written" % (member.name, values[0]))
        return value

    params = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    params += [inspect.Parameter(p.name, inspect.Parameter.POSITIONAL_OR_KEYWORD, annotation=PY_TYPES[p.type])
               for p in member.params]
    method.__signature__ = inspect.Signature(params, return_annotation=PY_TYPES[member.type])
    method.__name__ = member.name
    method.__qualname__ = "Control." + member.name
    method.__doc__ = describe(member)
    return method


class _PropertyParam:
    """A property's value as a parameter: its type's whole range."""

    def __init__(self, member):
        self.name, self.type, self.meaning = member.name, member.type, ""
        self.min, self.max = (-32768, 32767) if member.type == TV_SHORT else (-2 ** 31, 2 ** 31 - 1)


def _make_property(member):
    def get(self):
        v = Variant()
        status = tv_get_property(self._live(), member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)
        return from_variant(v)

    def put(self, value):
        keep = []
        v = to_variant(member, _PropertyParam(member), value, keep)
        status = tv_put_property(self._live(), member.dispid, ctypes.byref(v))
        if status != 0:
            raise TalvenorError(member.name, status)

    return property(get, None if member.flags & MEMBER_READ_ONLY else put,
                    doc="%s (%s, DISPID %d): %s." % (member.name, TYPE_NAMES[member.type], member.dispid,
                                                     member.help))


class Members:
    """The control's methods and properties, each made from its entry in the control's dispatch table
    (set on this class below); Control adds to them and may wrap one."""


for _m in MEMBERS:
    if _m.kind == KIND_METHOD:
        setattr(Members, _m.name, _make_method(_m))
    elif _m.kind == KIND_PROPERTY:
        setattr(Members, _m.name, _make_property(_m))
del _m
