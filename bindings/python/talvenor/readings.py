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

import dataclasses
import struct
import time
from typing import Dict, Optional, Tuple

BYTE, WORD = "byte 0..255", "signed word -32768..32767"

# (field, getter, offset, kind): the layout of each record, offsets from its first byte.
STANDARD_FIELDS = [("sonar%d" % i, "GetSensorSonar%d" % i, i - 1, BYTE) for i in range(1, 7)] + [
    ("human_motion1", "GetSensorHumanMotion1", 6, WORD), ("human_alarm1", "GetSensorHumanAlarm1", 8, WORD),
    ("human_motion2", "GetSensorHumanMotion2", 10, WORD), ("human_alarm2", "GetSensorHumanAlarm2", 12, WORD),
    ("tilting_x", "GetSensorTiltingX", 14, WORD), ("tilting_y", "GetSensorTiltingY", 16, WORD),
    ("overheat_ad1", "GetSensorOverheatAD1", 18, WORD), ("overheat_ad2", "GetSensorOverheatAD2", 20, WORD),
    ("temperature", "GetSensorTemperature", 22, WORD), ("ir_range", "GetSensorIRRange", 24, WORD)] + [
    ("ir_code%d" % i, "GetSensorIRCode%d" % i, 25 + i, BYTE) for i in range(1, 5)] + [
    ("battery_ad1", "GetSensorBatteryAD1", 30, WORD), ("battery_ad2", "GetSensorBatteryAD2", 32, WORD),
    ("battery_ad3", "GetSensorBatteryAD3", 34, WORD), ("ref_voltage", "GetSensorRefVoltage", 36, WORD),
    ("pot_voltage", "GetSensorPotVoltage", 38, WORD)]

MOTOR_FIELDS = [("pot%d" % i, "GetSensorPot%d" % i, 2 * (i - 1), WORD) for i in range(1, 7)] + [
    ("current%d" % i, "GetMotorCurrent%d" % i, 10 + 2 * i, WORD) for i in range(1, 7)] + [
    ("encoder_pulse1", "GetEncoderPulse1", 24, WORD), ("encoder_speed1", "GetEncoderSpeed1", 26, WORD),
    ("encoder_pulse2", "GetEncoderPulse2", 28, WORD), ("encoder_speed2", "GetEncoderSpeed2", 30, WORD),
    ("encoder_directions", None, 32, BYTE)]

CUSTOM_FIELDS = [("ad%d" % i, "GetCustomAD%d" % i, 2 * (i - 1), WORD) for i in range(1, 9)] + [
    ("din", "GetCustomDIN", 16, BYTE)] + [
    ("gps%d" % i, "GetGPS0%d" % i, 15 + 2 * i, WORD) for i in range(1, 9)] + [
    ("sen_id%d" % i, "getSenID%d" % i, 32 + i, BYTE) for i in range(1, 5)]

# The custom record's second vocabulary: the same bytes under battery and charger names.
CUSTOM_ALIASES = {"bat1_vol": "ad1", "bat1_temp": "ad2", "bat2_vol": "ad3", "bat2_temp": "ad4",
                  "dcin_vol": "ad5", "chg_status": "din", "vol_ref": "gps2"}

GETTER_KINDS: Dict[str, str] = {g: k for _, g, _, k in STANDARD_FIELDS + MOTOR_FIELDS + CUSTOM_FIELDS if g}
GETTER_KINDS.update({"GetPowerPath": BYTE, "GetCHGPath": BYTE, "GetEncoderDir1": "-1, 0 or 1",
                     "GetEncoderDir2": "-1, 0 or 1", "GetSensorSonar": BYTE, "GetMotorCurrent": WORD,
                     "GetCustomAD": WORD, "GetSensorPot": WORD, "GetBat1Vol": WORD, "GetBat1Temp": WORD,
                     "GetBat2Vol": WORD, "GetBat2Temp": WORD, "GetDCINVol": WORD, "GetCHGStatus": BYTE,
                     "GetVolRef": WORD})


def _decode(fields, record: bytes):
    values = {}
    for name, _getter, offset, kind in fields:
        if kind == BYTE:
            values[name] = record[offset] if offset < len(record) else 0
        else:
            values[name] = struct.unpack_from("<h", record, offset)[0] if offset + 2 <= len(record) else 0
    return values


class _Timed:
    """When a reading was taken from its section: ``taken_at`` on the machine's monotonic clock (as
    ``time.monotonic()``), 0 when it is not known."""

    def age(self) -> float:
        """Seconds since the reading was taken from its section (how old the values are, at least)."""
        taken = getattr(self, "taken_at", 0.0)
        return time.monotonic() - taken if taken else float("inf")


@dataclasses.dataclass(frozen=True)
class StandardReading(_Timed):
    """One standard sensor record (data types 0x7D and 0x7F): sonars, human motion and alarm,
    tilt, overheat, temperature, infrared range and codes, battery and reference voltages."""
    sonar1: int
    sonar2: int
    sonar3: int
    sonar4: int
    sonar5: int
    sonar6: int
    human_motion1: int
    human_alarm1: int
    human_motion2: int
    human_alarm2: int
    tilting_x: int
    tilting_y: int
    overheat_ad1: int
    overheat_ad2: int
    temperature: int
    ir_range: int
    ir_code1: int
    ir_code2: int
    ir_code3: int
    ir_code4: int
    battery_ad1: int
    battery_ad2: int
    battery_ad3: int
    ref_voltage: int
    pot_voltage: int
    raw: bytes = dataclasses.field(repr=False, default=b"")
    taken_at: float = dataclasses.field(repr=False, compare=False, default=0.0)

    @classmethod
    def from_record(cls, record: bytes, taken_at: float = 0.0) -> "StandardReading":
        return cls(raw=bytes(record), taken_at=taken_at, **_decode(STANDARD_FIELDS, record))


@dataclasses.dataclass(frozen=True)
class MotorReading(_Timed):
    """One motor sensor record (data type 0x7B): potentiometers, motor currents, two encoders."""
    pot1: int
    pot2: int
    pot3: int
    pot4: int
    pot5: int
    pot6: int
    current1: int
    current2: int
    current3: int
    current4: int
    current5: int
    current6: int
    encoder_pulse1: int
    encoder_speed1: int
    encoder_pulse2: int
    encoder_speed2: int
    encoder_directions: int
    raw: bytes = dataclasses.field(repr=False, default=b"")
    taken_at: float = dataclasses.field(repr=False, compare=False, default=0.0)

    @property
    def encoder_dir1(self) -> int:
        """0 while encoder 1 stands still, else 1 or -1 from its direction bit."""
        return 0 if self.encoder_speed1 == 0 else (1 if self.encoder_directions & 1 else -1)

    @property
    def encoder_dir2(self) -> int:
        """0 while encoder 2 stands still, else 1 or -1 from its direction bit."""
        return 0 if self.encoder_speed2 == 0 else (1 if self.encoder_directions & 2 else -1)

    @classmethod
    def from_record(cls, record: bytes, taken_at: float = 0.0) -> "MotorReading":
        return cls(raw=bytes(record), taken_at=taken_at, **_decode(MOTOR_FIELDS, record))


@dataclasses.dataclass(frozen=True)
class CustomReading(_Timed):
    """One custom sensor record (data type 0x7C): eight inputs, digital inputs, eight GPS words and
    four sensor IDs. The same bytes are also named as battery and charger values (``bat1_vol`` is
    ``ad1``, ``chg_status`` is ``din``, ``vol_ref`` is ``gps2``; ``power_path`` and ``chg_path`` are the
    low bytes of ``gps6`` and ``gps7``)."""
    ad1: int
    ad2: int
    ad3: int
    ad4: int
    ad5: int
    ad6: int
    ad7: int
    ad8: int
    din: int
    gps1: int
    gps2: int
    gps3: int
    gps4: int
    gps5: int
    gps6: int
    gps7: int
    gps8: int
    sen_id1: int
    sen_id2: int
    sen_id3: int
    sen_id4: int
    raw: bytes = dataclasses.field(repr=False, default=b"")
    taken_at: float = dataclasses.field(repr=False, compare=False, default=0.0)

    # The second vocabulary of the same bytes (CUSTOM_ALIASES).
    @property
    def bat1_vol(self) -> int:
        return self.ad1

    @property
    def bat1_temp(self) -> int:
        return self.ad2

    @property
    def bat2_vol(self) -> int:
        return self.ad3

    @property
    def bat2_temp(self) -> int:
        return self.ad4

    @property
    def dcin_vol(self) -> int:
        return self.ad5

    @property
    def chg_status(self) -> int:
        return self.din

    @property
    def vol_ref(self) -> int:
        return self.gps2

    @property
    def power_path(self) -> int:
        return self.raw[27] if len(self.raw) > 27 else 0

    @property
    def chg_path(self) -> int:
        return self.raw[29] if len(self.raw) > 29 else 0

    @classmethod
    def from_record(cls, record: bytes, taken_at: float = 0.0) -> "CustomReading":
        return cls(raw=bytes(record), taken_at=taken_at, **_decode(CUSTOM_FIELDS, record))


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
