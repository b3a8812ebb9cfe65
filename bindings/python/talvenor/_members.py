"""The control's dispatch table as the package reads it once, at import: every method, property and
event with its DISPID, parameters (type, role, range, meaning), help text and flags."""

import ctypes

from ._abi import KIND_EVENT, KIND_METHOD, KIND_PROPERTY, TYPE_NAMES, MemberInfo, tv_member_at, tv_member_count
from ._errors import ArgumentValueError
from .readings import FIELD_LIST, READING_CLASSES


class Param:
    __slots__ = ("name", "type", "role", "min", "max", "meaning")

    def __init__(self, info, k):
        self.name = info.param_names[k].decode()
        self.type = info.param_types[k]
        self.role = info.param_roles[k]
        self.min, self.max = info.param_min[k], info.param_max[k]
        self.meaning = info.param_meanings[k].decode()


class Member:
    __slots__ = ("kind", "dispid", "name", "type", "params", "help", "implementation", "flags", "field", "section")

    def __init__(self, info):
        self.kind = info.kind
        self.dispid = info.dispid
        self.name = info.name.decode()
        self.type = info.type
        self.params = [Param(info, k) for k in range(info.param_count)]
        self.help = info.help.decode()
        self.implementation = info.implementation.decode()
        self.flags = info.flags
        self.field = FIELD_LIST[info.field] if 0 <= info.field < len(FIELD_LIST) else None
        self.section = info.section


def _read_table():
    out = []
    info = MemberInfo()
    for index in range(tv_member_count()):
        if tv_member_at(index, ctypes.byref(info)) == 0:
            out.append(Member(info))
    return out


MEMBERS = _read_table()
BY_LOWER = {m.name.lower(): m for m in MEMBERS if m.kind != KIND_EVENT}
EVENTS = {m.name.lower(): m for m in MEMBERS if m.kind == KIND_EVENT}
EVENT_BY_DISPID = {m.dispid: m for m in MEMBERS if m.kind == KIND_EVENT}
SENSOR_EVENT_NAMES = tuple(m.name for m in EVENT_BY_DISPID.values() if 0 <= m.section < len(READING_CLASSES))


def members():
    """(kind, dispid, name) of every method, property and event, in the table's order."""
    kinds = {KIND_METHOD: "method", KIND_PROPERTY: "property", KIND_EVENT: "event"}
    return [(kinds[m.kind], m.dispid, m.name) for m in MEMBERS]


def find_event(name):
    """The event a caller names (any case), or ArgumentValueError listing the control's events."""
    m = EVENTS.get(str(name).lower())
    if m is None:
        raise ArgumentValueError("no event '%s'; the control has %s"
                                 % (name, ", ".join(e.name for e in EVENT_BY_DISPID.values())))
    return m


def describe(member):
    """A method's help text: its signature, what it does, what each argument carries, what it returns."""
    params = ", ".join("%s: %s" % (p.name, TYPE_NAMES[p.type]) for p in member.params)
    lines = ["%s(%s) -> %s" % (member.name, params, TYPE_NAMES[member.type]), "",
             member.help[:1].upper() + member.help[1:] + "."]
    for p in member.params:
        lines.append("  %s: %s" % (p.name, p.meaning or TYPE_NAMES[p.type]))
    if member.field is not None:
        lines.append("Returns the raw field of the latest record: %s (no physical scale is applied)."
                     % member.field.describe())
    if member.implementation != member.name and member.implementation.lower() not in member.help.lower():
        lines.append("The same operation as %s." % member.implementation)
    lines += ["", "DISPID %d." % member.dispid]
    return "\n".join(lines)
