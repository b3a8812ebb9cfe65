#!/usr/bin/env python3
"""Writes talvenor/__init__.pyi and talvenor/readings.pyi, the stubs with which editors and type checkers
see every method of the control and every field of a reading, from the control's own dispatch table
and record table. `--check` only compares and fails when either differs.

    python3 bindings/python/make_stub.py [--check]
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import talvenor  # noqa: E402
from talvenor import _abi, _members  # noqa: E402

PY = {_abi.TV_EMPTY: "None", _abi.TV_SHORT: "int", _abi.TV_LONG: "int", _abi.TV_STRING: "str",
      _abi.TV_BOOL: "bool", _abi.TV_ADDRESS: "int", _abi.TV_BUFFER: "bytearray"}

HEAD = '''# The stub of the talvenor package, written by make_stub.py from the control's dispatch table.
from types import TracebackType
from typing import AsyncIterator, Callable, Dict, Generic, Iterator, List, Literal, Optional, Tuple, Type, TypeVar, Union, overload

import numpy
from numpy.typing import NDArray

from .readings import CustomReading as CustomReading
from .readings import MotorReading as MotorReading
from .readings import Scaling as Scaling
from .readings import StandardReading as StandardReading

__version__: str

class Error(Exception): ...
class TalvenorError(Error):
    status: int
class ConnectError(Error):
    robot: str
    reason: str
class ClosedError(Error, ValueError): ...
class NotConnectedError(Error): ...
class FileError(Error, OSError): ...
class ArgumentError(Error): ...
class ArgumentTypeError(ArgumentError, TypeError): ...
class ArgumentValueError(ArgumentError, ValueError): ...
class ArgumentRangeError(ArgumentError, OverflowError): ...

# A picture: (144, 176, 3) uint8, read-only (a view of this control's copy). Without numpy, 76032 bytes.
Picture = Union[NDArray[numpy.uint8], bytes]
# A voice segment: int16 samples, read-only. Without numpy, its bytes.
Voice = Union[NDArray[numpy.int16], bytes]
Reading = Union[StandardReading, MotorReading, CustomReading]
Payload = Union[StandardReading, MotorReading, CustomReading, Picture, Voice]
StandardEvent = Literal["StandardSensorEvent"]
MotorEvent = Literal["MotorSensorEvent"]
CustomEvent = Literal["CustomSensorEvent"]
ImageEvent = Literal["ImageEvent"]
VoiceEvent = Literal["VoiceSegmentEvent"]
T = TypeVar("T")

class EventStream(Generic[T]):
    dropped: int
    def __aiter__(self) -> "EventStream[T]": ...
    async def __anext__(self) -> T: ...
    def close(self) -> None: ...
    async def aclose(self) -> None: ...

class Host:
    messages: List[str]
    on_message: Optional[Callable[[str], None]]
    ticking: bool
    def __init__(self, ticking: bool = ...) -> None: ...
    def run(self, seconds: float) -> None: ...
    def run_until(self, predicate: Callable[[], object], timeout: float) -> bool: ...
    def process_due(self) -> int: ...
    def ms_until_due(self) -> int: ...

def default_host() -> Host: ...
def run(seconds: float) -> None: ...
def members() -> List[Tuple[str, int, str]]: ...
def served_robots() -> List[str]: ...

class Control:
    host: Host
    stop_motors_on_exit: bool
    def __init__(self, robot: Optional[str] = ..., progid: Optional[str] = ..., host: Optional[Host] = ...,
                 stop_motors_on_exit: bool = ..., wait: Optional[float] = ...) -> None: ...
    def wait_for_relay(self, timeout: float = ...) -> None: ...
    def relay_state(self) -> str: ...
    def lapped(self) -> Dict[str, int]: ...
    def commands_not_stored(self) -> int: ...
    @overload
    def on(self, event: StandardEvent, handler: Callable[[StandardReading], object]) -> Callable[[StandardReading], object]: ...
    @overload
    def on(self, event: MotorEvent, handler: Callable[[MotorReading], object]) -> Callable[[MotorReading], object]: ...
    @overload
    def on(self, event: CustomEvent, handler: Callable[[CustomReading], object]) -> Callable[[CustomReading], object]: ...
    @overload
    def on(self, event: str, handler: Callable[..., object]) -> Callable[..., object]: ...
    def off(self, event: str, handler: Optional[Callable[..., object]] = ...) -> None: ...
    def run(self, seconds: float) -> None: ...
    def run_until(self, predicate: Callable[[], object], timeout: float = ...) -> bool: ...
    def readings(self, timeout: Optional[float] = ...) -> Iterator[Reading]: ...
    def areadings(self, maxsize: int = ...) -> EventStream[Reading]: ...
    @overload
    async def wait_for(self, event: StandardEvent, timeout: Optional[float] = ...) -> StandardReading: ...
    @overload
    async def wait_for(self, event: MotorEvent, timeout: Optional[float] = ...) -> MotorReading: ...
    @overload
    async def wait_for(self, event: CustomEvent, timeout: Optional[float] = ...) -> CustomReading: ...
    @overload
    async def wait_for(self, event: ImageEvent, timeout: Optional[float] = ...) -> Picture: ...
    @overload
    async def wait_for(self, event: VoiceEvent, timeout: Optional[float] = ...) -> Voice: ...
    @overload
    async def wait_for(self, event: str, timeout: Optional[float] = ...) -> Payload: ...
    @overload
    def events(self, event: StandardEvent, maxsize: int = ...) -> EventStream[StandardReading]: ...
    @overload
    def events(self, event: MotorEvent, maxsize: int = ...) -> EventStream[MotorReading]: ...
    @overload
    def events(self, event: CustomEvent, maxsize: int = ...) -> EventStream[CustomReading]: ...
    @overload
    def events(self, event: ImageEvent, maxsize: int = ...) -> EventStream[Picture]: ...
    @overload
    def events(self, event: VoiceEvent, maxsize: int = ...) -> EventStream[Voice]: ...
    @overload
    def events(self, event: str, maxsize: int = ...) -> EventStream[Payload]: ...
    @staticmethod
    def dispid(name: str) -> int: ...
    @property
    def modified(self) -> bool: ...
    def standard(self) -> Optional[StandardReading]: ...
    def motor(self) -> Optional[MotorReading]: ...
    def custom(self) -> Optional[CustomReading]: ...
    def has_picture(self) -> bool: ...
    def image(self) -> Picture: ...
    def image_luma(self) -> bytes: ...
    def voice_segment(self) -> bytes: ...
    def voice(self) -> Voice: ...
    def stop_motors(self) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Control": ...
    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...
    async def __aenter__(self) -> "Control": ...
    async def __aexit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                        traceback: Optional[TracebackType]) -> None: ...
'''


def stub():
    lines = [HEAD.rstrip("\n"), "    # The control's methods and properties, from its dispatch table."]
    for m in _members.MEMBERS:
        if m.kind == _abi.KIND_METHOD:
            params = "".join(", %s: %s" % (p.name, PY[p.type]) for p in m.params)
            lines.append("    def %s(self%s) -> %s: ..." % (m.name, params, PY[m.type]))
        elif m.kind == _abi.KIND_PROPERTY and m.flags & _abi.MEMBER_READ_ONLY:
            lines += ["    @property", "    def %s(self) -> %s: ..." % (m.name, PY[m.type])]
        elif m.kind == _abi.KIND_PROPERTY:
            lines.append("    %s: %s" % (m.name, PY[m.type]))
    return "\n".join(lines) + "\n"


READINGS_HEAD = '''# The stub of talvenor.readings, written by make_stub.py from the control's record table.
import dataclasses
from typing import Dict, List, Optional, Tuple

BYTE: str
WORD: str

class Field:
    record: int
    kind: int
    offset: int
    bit: int
    name: str
    getter: str
    of: str
    @property
    def own(self) -> bool: ...
    def describe(self) -> str: ...
    def read(self, record: bytes) -> int: ...

FIELD_LIST: List[Field]
RECORD_NAMES: List[str]
FIELDS: Dict[str, Field]
FIELD_OF_GETTER: Dict[str, Field]
READING_CLASSES: List[type]

class _Timed:
    def age(self) -> float: ...
'''

READINGS_TAIL = '''
class Scaling:
    factors: Dict[str, Tuple[float, float]]
    units: Dict[str, str]
    def __init__(self, factors: Dict[str, Tuple[float, float]], units: Optional[Dict[str, str]] = ...) -> None: ...
    def apply(self, reading: object) -> Dict[str, float]: ...
    def unit(self, field: str) -> str: ...
    @classmethod
    def simulated_robot(cls) -> "Scaling": ...
'''


def readings_stub():
    readings = talvenor.readings
    lines = [READINGS_HEAD.rstrip("\n")]
    for number, cls in enumerate(readings.READING_CLASSES):
        name = cls.__name__
        lines += ["", "@dataclasses.dataclass(frozen=True)", "class %s(_Timed):" % name]
        fields = [f for f in readings.FIELD_LIST if f.record == number]
        lines += ["    %s: int" % f.name for f in fields if f.own]
        lines += ["    raw: bytes = ...", "    taken_at: float = ..."]
        lines += ["    @classmethod", "    def from_record(cls, data: bytes, taken_at: float = ...) -> \"%s\": ..." % name]
        for f in fields:
            if not f.own:
                lines += ["    @property", "    def %s(self) -> int: ..." % f.name]
    return "\n".join(lines) + "\n" + READINGS_TAIL


def main():
    stubs = {os.path.join(HERE, "talvenor", "__init__.pyi"): stub(),
             os.path.join(HERE, "talvenor", "readings.pyi"): readings_stub()}
    if "--check" in sys.argv[1:]:
        stale = []
        for path, text in stubs.items():
            try:
                with open(path) as f:
                    current = f.read()
            except OSError:
                current = ""
            if current != text:
                stale.append(path)
        for path in stale:
            print("%s is out of step with the control's tables: run python3 %s" % (path, __file__))
        return 1 if stale else 0
    for path, text in stubs.items():
        with open(path, "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
