"""The control library's C interface as ctypes sees it: the constants of talvenorctl.h, copies of the
structures the package passes in and out, and the prototypes of the functions it calls.

ctypes cannot read the header, so the structures here are copies, and a copy that is not the
library's layout makes the library write past what the package allocated. At import each copy's size
is compared with the size the library reports for its own structure (tv_struct_size): a library of
another build is refused here, with the structure named, rather than corrupting memory later."""

import ctypes

from ._library import load_library

TV_EMPTY, TV_SHORT, TV_LONG, TV_STRING, TV_BOOL, TV_ADDRESS, TV_BUFFER = 0, 2, 3, 8, 11, 37, 65
KIND_METHOD, KIND_PROPERTY, KIND_EVENT = 1, 2, 3
TYPE_NAMES = {TV_EMPTY: "None", TV_SHORT: "short", TV_LONG: "long", TV_STRING: "str", TV_BOOL: "bool",
              TV_ADDRESS: "address", TV_BUFFER: "bytearray"}
MAX_PARAMS = 7
MEMBER_NEEDS_ROBOT, MEMBER_READS_FILE, MEMBER_WRITES_FILE = 1, 2, 4
MEMBER_READ_ONLY = 32
ROLE_FILE_TO_READ, ROLE_FILE_TO_WRITE, ROLE_FILE_FOR_RELAY = 5, 6, 8
# The sections whose records events hand out (TV_SECTION_*): the sensor records first, by number.
SECTION_IMAGE, SECTION_AUDIO = 3, 4
# The kinds of a sensor record's fields (TV_FIELD_*).
FIELD_BYTE, FIELD_WORD, FIELD_ALIAS, FIELD_LOW_BYTE, FIELD_DIRECTION = 0, 1, 2, 3, 4


class Variant(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int32), ("reserved", ctypes.c_int32), ("i", ctypes.c_int64),
                ("s", ctypes.c_char_p), ("data", ctypes.c_void_p), ("size", ctypes.c_size_t)]


class MemberInfo(ctypes.Structure):
    _fields_ = [("kind", ctypes.c_int32), ("dispid", ctypes.c_int32), ("name", ctypes.c_char_p),
                ("type", ctypes.c_int32), ("param_count", ctypes.c_int32),
                ("param_names", ctypes.c_char_p * MAX_PARAMS), ("param_types", ctypes.c_int32 * MAX_PARAMS),
                ("help", ctypes.c_char_p), ("implementation", ctypes.c_char_p), ("flags", ctypes.c_uint32),
                ("param_roles", ctypes.c_int32 * MAX_PARAMS), ("param_min", ctypes.c_int32 * MAX_PARAMS),
                ("param_max", ctypes.c_int32 * MAX_PARAMS), ("param_meanings", ctypes.c_char_p * MAX_PARAMS),
                ("field", ctypes.c_int32), ("section", ctypes.c_int32)]


class Event(ctypes.Structure):
    _fields_ = [("dispid", ctypes.c_int32), ("data", ctypes.POINTER(ctypes.c_uint8)), ("size", ctypes.c_size_t),
                ("taken_at", ctypes.c_double)]


class SensorField(ctypes.Structure):
    _fields_ = [("record", ctypes.c_int32), ("kind", ctypes.c_int32), ("offset", ctypes.c_int32),
                ("bit", ctypes.c_int32), ("name", ctypes.c_char_p), ("getter", ctypes.c_char_p),
                ("of", ctypes.c_char_p)]


# Every structure copied above, by its name in the header.
MIRRORED = {"tv_variant": Variant, "tv_member_info": MemberInfo, "tv_event": Event, "tv_sensor_field": SensorField}

lib = load_library()


def _library_name():
    return getattr(lib, "_name", None) or "the control library"


def _declare(name, restype, *argtypes):
    try:
        fn = getattr(lib, name)
    except AttributeError:
        raise ImportError("%s has no %s: it is older than this talvenor package. Use the library of the "
                          "package's own build (set TALVENOR_LIBRARY to it, or reinstall the package with it)."
                          % (_library_name(), name)) from None
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


def _check_sizes():
    size_of = _declare("tv_struct_size", ctypes.c_size_t, ctypes.c_char_p)
    for name, copy in MIRRORED.items():
        theirs, ours = size_of(name.encode()), ctypes.sizeof(copy)
        if theirs != ours:
            raise ImportError("%s's %s is %d bytes, this talvenor package's copy of it %d: the two are of "
                              "different builds. Use the library of the package's own build (set "
                              "TALVENOR_LIBRARY to it, or reinstall the package with it)."
                              % (_library_name(), name, theirs, ours))


_check_sizes()

_c = ctypes
tv_member_count = _declare("tv_member_count", _c.c_int32)
tv_member_at = _declare("tv_member_at", _c.c_int32, _c.c_int32, _c.POINTER(MemberInfo))
tv_sensor_field_count = _declare("tv_sensor_field_count", _c.c_int32)
tv_sensor_field_at = _declare("tv_sensor_field_at", _c.c_int32, _c.c_int32, _c.POINTER(SensorField))
tv_sensor_record_name = _declare("tv_sensor_record_name", _c.c_char_p, _c.c_int32)
tv_status_text = _declare("tv_status_text", _c.c_char_p, _c.c_int32)
tv_create = _declare("tv_create", _c.c_int32, _c.POINTER(_c.c_void_p))
tv_create_from_registry = _declare("tv_create_from_registry", _c.c_int32, _c.c_char_p, _c.POINTER(_c.c_void_p))
tv_destroy = _declare("tv_destroy", None, _c.c_void_p)
tv_invoke = _declare("tv_invoke", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(Variant), _c.c_int32,
                     _c.POINTER(Variant))
tv_get_property = _declare("tv_get_property", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(Variant))
tv_put_property = _declare("tv_put_property", _c.c_int32, _c.c_void_p, _c.c_int32, _c.POINTER(Variant))
tv_queue_events = _declare("tv_queue_events", None, _c.c_void_p, _c.c_int32)
tv_next_event = _declare("tv_next_event", _c.c_int32, _c.c_void_p, _c.POINTER(Event))
tv_events_dropped = _declare("tv_events_dropped", _c.c_uint64, _c.c_void_p)
tv_use_event = _declare("tv_use_event", None, _c.c_void_p, _c.POINTER(Event))
tv_modified = _declare("tv_modified", _c.c_int32, _c.c_void_p)
tv_image = _declare("tv_image", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
tv_luma = _declare("tv_luma", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
tv_voice = _declare("tv_voice", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.POINTER(_c.c_size_t))
tv_record = _declare("tv_record", _c.POINTER(_c.c_uint8), _c.c_void_p, _c.c_int32, _c.POINTER(_c.c_size_t))
tv_last_error = _declare("tv_last_error", _c.c_char_p, _c.c_void_p)
tv_relay_state = _declare("tv_relay_state", _c.c_int32, _c.c_void_p)
tv_relay_state_name = _declare("tv_relay_state_name", _c.c_char_p, _c.c_int32)
tv_lapped = _declare("tv_lapped", _c.c_uint64, _c.c_void_p, _c.c_int32)
tv_commands_not_stored = _declare("tv_commands_not_stored", _c.c_uint64, _c.c_void_p)
tv_stop_motors = _declare("tv_stop_motors", None, _c.c_void_p)
tv_section_owner = _declare("tv_section_owner", _c.c_int64, _c.c_void_p)
tv_served_robots = _declare("tv_served_robots", _c.c_int32, _c.c_char_p, _c.c_size_t)
tv_check_sound_file = _declare("tv_check_sound_file", _c.c_int32, _c.c_char_p, _c.c_char_p, _c.c_size_t)
tv_check_lcd_file = _declare("tv_check_lcd_file", _c.c_int32, _c.c_char_p, _c.c_char_p, _c.c_size_t)
tv_host_create = _declare("tv_host_create", _c.c_void_p)
tv_host_destroy = _declare("tv_host_destroy", None, _c.c_void_p)
tv_host_attach = _declare("tv_host_attach", None, _c.c_void_p, _c.c_void_p)
tv_host_detach = _declare("tv_host_detach", None, _c.c_void_p)
tv_host_process_due = _declare("tv_host_process_due", _c.c_int32, _c.c_void_p)
tv_host_ms_until_due = _declare("tv_host_ms_until_due", _c.c_int64, _c.c_void_p)
tv_host_set_ticking = _declare("tv_host_set_ticking", None, _c.c_void_p, _c.c_int32)
tv_host_wait = _declare("tv_host_wait", _c.c_int32, _c.c_void_p, _c.c_uint32)
tv_host_arm = _declare("tv_host_arm", _c.c_void_p, _c.c_void_p)
tv_doorbells_wait = _declare("tv_doorbells_wait", _c.c_int32, _c.c_void_p, _c.c_uint32)
tv_doorbells_free = _declare("tv_doorbells_free", None, _c.c_void_p)
tv_host_ms_until_look = _declare("tv_host_ms_until_look", _c.c_int64, _c.c_void_p)
tv_host_note_wait = _declare("tv_host_note_wait", None, _c.c_void_p, _c.c_int32, _c.c_int32)
tv_host_queue_messages = _declare("tv_host_queue_messages", None, _c.c_void_p, _c.c_int32)
tv_host_next_message = _declare("tv_host_next_message", _c.c_int32, _c.c_void_p, _c.POINTER(_c.c_char_p))
