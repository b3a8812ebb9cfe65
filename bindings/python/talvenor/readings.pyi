# The stub of talvenor.readings, written by make_stub.py from the control's record table.
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

@dataclasses.dataclass(frozen=True)
class StandardReading(_Timed):
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
    raw: bytes = ...
    taken_at: float = ...
    @classmethod
    def from_record(cls, data: bytes, taken_at: float = ...) -> "StandardReading": ...

@dataclasses.dataclass(frozen=True)
class MotorReading(_Timed):
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
    raw: bytes = ...
    taken_at: float = ...
    @classmethod
    def from_record(cls, data: bytes, taken_at: float = ...) -> "MotorReading": ...
    @property
    def encoder_dir1(self) -> int: ...
    @property
    def encoder_dir2(self) -> int: ...

@dataclasses.dataclass(frozen=True)
class CustomReading(_Timed):
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
    raw: bytes = ...
    taken_at: float = ...
    @classmethod
    def from_record(cls, data: bytes, taken_at: float = ...) -> "CustomReading": ...
    @property
    def power_path(self) -> int: ...
    @property
    def chg_path(self) -> int: ...
    @property
    def bat1_vol(self) -> int: ...
    @property
    def bat1_temp(self) -> int: ...
    @property
    def bat2_vol(self) -> int: ...
    @property
    def bat2_temp(self) -> int: ...
    @property
    def dcin_vol(self) -> int: ...
    @property
    def chg_status(self) -> int: ...
    @property
    def vol_ref(self) -> int: ...

class Scaling:
    factors: Dict[str, Tuple[float, float]]
    units: Dict[str, str]
    def __init__(self, factors: Dict[str, Tuple[float, float]], units: Optional[Dict[str, str]] = ...) -> None: ...
    def apply(self, reading: object) -> Dict[str, float]: ...
    def unit(self, field: str) -> str: ...
    @classmethod
    def simulated_robot(cls) -> "Scaling": ...
