"""Finds and loads the control library: libtalvenorctl.so, or talvenorctl.dll on Windows.

Its functions use the C calling convention on every system, 32-bit Windows included, so it is loaded
with ctypes.CDLL there too (WinDLL would expect the callee to clean the stack)."""

import ctypes
import ctypes.util
import functools
import os

_WINDOWS = os.name == "nt"
_FILE = "talvenorctl.dll" if _WINDOWS else "libtalvenorctl.so"


def _from_registry():
    path = os.environ.get("TALVENOR_REGISTRY")
    if not path:
        if _WINDOWS:
            data = os.environ.get("APPDATA") or os.path.expanduser("~")
        else:
            data = os.environ.get("XDG_DATA_HOME") or os.path.join(os.path.expanduser("~"), ".local", "share")
        path = os.path.join(data, "talvenor", "registry")
    try:
        with open(path) as f:
            section = None
            for line in f:
                line = line.rstrip("\n")
                if line.startswith("[") and line.endswith("]"):
                    section = line[1:-1]
                elif section == "CLSID\\{C3F1E5A4-1541-4456-9AB0-8BD4CE11A513}" and line.startswith("InprocServer32="):
                    return line.split("=", 1)[1]
    except OSError:
        return None
    return None


def _candidates():
    explicit = os.environ.get("TALVENOR_LIBRARY")
    if explicit:
        yield explicit
        return
    here = os.path.dirname(os.path.abspath(__file__))
    yield os.path.join(here, "_lib", _FILE)  # the copy an installed wheel brings
    root = os.path.normpath(os.path.join(here, "..", "..", ".."))
    yield os.path.join(root, "build", "control", _FILE)
    registered = _from_registry()
    if registered:
        yield registered
    found = ctypes.util.find_library("talvenorctl")
    if found:
        yield found


@functools.lru_cache(maxsize=None)
def load_library():
    tried = []
    for path in _candidates():
        if path in tried:
            continue
        tried.append(path)
        if os.path.sep in path and not os.path.exists(path):
            continue
        try:
            return ctypes.CDLL(path)
        except OSError:
            continue
    raise ImportError(
        "%s was not found (looked at: %s). Build the project (bash scripts/test.sh), "
        "register it with talvenor-regsvr, or set TALVENOR_LIBRARY to its path." % (_FILE, ", ".join(tried) or "nothing"))
