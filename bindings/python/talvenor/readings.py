"""Sensor readings as named, frozen values.

Each reading holds the raw values of one record as the robot sends them: the physical scale of a
value depends on the sensors fitted to the robot, so none is applied here. A value is either a byte
(0..255) or a signed 16-bit word (-32768..32767, sent low byte first). To work in physical units,
give a scale and offset per field for your robot::

    volts = talvenor.Scaling({"battery_ad1": (0.01, 0.0)})      # value * 0.01 + 0.0
    volts.apply(reading)["battery_ad1"]

Channel numbering: the six sonar, current and potentiometer fields are numbered 1..6 in their names
(``sonar1`` is ``GetSensorSonar1``); the motion commands count DC motor and servo channels from 0, so
``DcMotorPwmNonTimeCtr(0, ...)`` drives the motor whose current is ``current1``.
"""

import ctypes
import dataclasses
import time
from typing import Dict, List, Optional, Tuple

from ._abi import FIELD_ALIAS as _KIND_ALIAS
from ._abi import FIELD_BYTE as _KIND_BYTE
from ._abi import FIELD_LOW_BYTE as _KIND_LOW_BYTE
from ._abi import FIELD_WORD as _KIND_WORD
from ._abi import SensorField, tv_sensor_field_at, tv_sensor_field_count, tv_sensor_record_name

BYTE, WORD = "byte 0..255", "signed word -32768..32767"


class Field:
    """One field of a sensor record as the control's record table lays it out: its record (0 standard,
    1 motor, 2 custom), its name in readings, the control's getter that returns it ("" for none), the
    offset of its first byte and its kind. A view (a second name, a low byte, a direction) reads the
    field named ``of``."""
    __slots__ = ("record", "kind", "offset", "bit", "name", "getter", "of")

    def __init__(self, raw):
        self.record, self.kind, self.offset, self.bit = raw.record, raw.kind, raw.offset, raw.bit
        self.name, self.getter, self.of = raw.name.decode(), raw.getter.decode(), raw.of.decode()

    @property
    def own(self) -> bool:
        """A field of its own (a byte or a word), not a view of another."""
        return self.kind in (_KIND_BYTE, _KIND_WORD)

    def describe(self) -> str:
        """What the value is, in a few words."""
        if self.kind == _KIND_BYTE:
            return BYTE
        if self.kind == _KIND_WORD:
            return WORD
        if self.kind == _KIND_ALIAS:
            return "%s, a second name of %s" % (WORD if FIELDS[self.of].kind == _KIND_WORD else BYTE, self.of)
        if self.kind == _KIND_LOW_BYTE:
            return "%s, the low byte of %s" % (BYTE, self.of)
        return "-1, 0 or 1: 0 while %s is 0, else its direction bit" % self.of

    def read(self, record: bytes) -> int:
        """The field's value in `record`, as the control's getter returns it: bytes past the end of a
        short record read as zeros."""
        def byte(k):
            return record[k] if k < len(record) else 0
        if self.kind in (_KIND_BYTE, _KIND_LOW_BYTE):
            return byte(self.offset)
        if self.kind == _KIND_WORD:
            word = byte(self.offset) | byte(self.offset + 1) << 8
            return word - 0x10000 if word & 0x8000 else word
        if self.kind == _KIND_ALIAS:
            return FIELDS[self.of].read(record)
        if FIELDS[self.of].read(record) == 0:
            return 0
        return 1 if byte(self.offset) >> self.bit & 1 else -1


def _read_table():
    fields, raw = [], SensorField()
    for index in range(tv_sensor_field_count()):
        if tv_sensor_field_at(index, ctypes.byref(raw)) == 0:
            fields.append(Field(raw))
    records = []
    while tv_sensor_record_name(len(records)):
        records.append(tv_sensor_record_name(len(records)).decode())
    return fields, records


# Every field of every record, in the control's table order, by name; the record names by number.
FIELD_LIST, RECORD_NAMES = _read_table()
FIELDS: Dict[str, Field] = {f.name: f for f in FIELD_LIST}
FIELD_OF_GETTER: Dict[str, Field] = {f.getter: f for f in FIELD_LIST if f.getter}


class _Timed:
    """When a reading was taken from its section: ``taken_at`` on the machine's monotonic clock (as
    ``time.monotonic()``), 0 when it is not known."""

    def age(self) -> float:
        """Seconds since the reading was taken from its section (how old the values are, at least)."""
        taken = getattr(self, "taken_at", 0.0)
        return time.monotonic() - taken if taken else float("inf")


_DOCS = {
    "standard": """One standard sensor record (data types 0x7D and 0x7F): sonars, human motion and alarm,
    tilt, overheat, temperature, infrared range and codes, battery and reference voltages.""",
    "motor": """One motor sensor record (data type 0x7B): potentiometers, motor currents, two encoders
    (``encoder_dir1`` and ``encoder_dir2`` read their direction bits).""",
    "custom": """One custom sensor record (data type 0x7C): eight inputs, digital inputs, eight GPS words and
    four sensor IDs. The same bytes are also named as battery and charger values (``bat1_vol`` is
    ``ad1``, ``chg_status`` is ``din``, ``vol_ref`` is ``gps2``; ``power_path`` and ``chg_path`` are the
    low bytes of ``gps6`` and ``gps7``).""",
}


def _view(field):
    return property(lambda self: field.read(self.raw), doc=field.describe())


def _reading_class(number, record):
    own = [f for f in FIELD_LIST if f.record == number and f.own]
    spec = [(f.name, int) for f in own]
    spec.append(("raw", bytes, dataclasses.field(repr=False, default=b"")))
    spec.append(("taken_at", float, dataclasses.field(repr=False, compare=False, default=0.0)))

    def from_record(cls, data: bytes, taken_at: float = 0.0):
        data = bytes(data)
        return cls(raw=data, taken_at=taken_at, **{f.name: f.read(data) for f in own})

    namespace = {f.name: _view(f) for f in FIELD_LIST if f.record == number and not f.own}
    namespace["from_record"] = classmethod(from_record)
    namespace["__doc__"] = _DOCS.get(record, "One %s sensor record." % record)
    cls = dataclasses.make_dataclass(record.capitalize() + "Reading", spec, bases=(_Timed,), frozen=True,
                                     namespace=namespace)
    cls.__module__ = __name__
    return cls


# The reading class of each record, by record number.
READING_CLASSES: List[type] = [_reading_class(n, name) for n, name in enumerate(RECORD_NAMES)]
StandardReading, MotorReading, CustomReading = READING_CLASSES[:3]


class Scaling:
    """A scale and offset per field, for the sensors of one robot: value * scale + offset, and the
    unit the result is in (where it is known).

    The robot sends raw numbers, and the protocol fixes no unit for any of them: what a sonar byte or
    a current word means depends on the sensors fitted to the robot. ``Scaling.simulated_robot()``
    holds the units of the simulated robot (robot-sim); for a real robot, measure and write your own.
    """

    def __init__(self, factors: Dict[str, Tuple[float, float]], units: Optional[Dict[str, str]] = None):
        self.factors = dict(factors)
        self.units = dict(units or {})

    def apply(self, reading) -> Dict[str, float]:
        out = {}
        for f in dataclasses.fields(reading):
            if f.name in ("raw", "taken_at"):
                continue
            value = getattr(reading, f.name)
            scale, offset = self.factors.get(f.name, (1.0, 0.0))
            out[f.name] = value * scale + offset
        return out

    def unit(self, field: str) -> str:
        """The unit of a scaled field, or "" where it is not known (the raw number)."""
        return self.units.get(field, "")

    @classmethod
    def simulated_robot(cls) -> "Scaling":
        """The units robot-sim reports in: sonar ranges in cm, the temperature in tenths of a degree
        Celsius, motor currents in mA, battery readings in mV, sensor periods (SetSys...Period) in ms.
        Everything else it sends (tilt, overheat, infrared range, potentiometers, encoder pulses and
        speeds, the custom inputs) is a raw number without a unit."""
        factors: Dict[str, Tuple[float, float]] = {"temperature": (0.1, 0.0)}
        units = {"temperature": "degC"}
        for i in range(1, 7):
            units["sonar%d" % i] = "cm"
            units["current%d" % i] = "mA"
        for i in range(1, 4):
            factors["battery_ad%d" % i] = (0.001, 0.0)
            units["battery_ad%d" % i] = "V"
        return cls(factors, units)
