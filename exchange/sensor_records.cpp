#include "exchange/sensor_records.h"

namespace exchange {

static_assert(static_cast<int>(SectionId::kStandardSensor) == static_cast<int>(SensorRecord::kStandard) &&
                  static_cast<int>(SectionId::kMotorSensor) == static_cast<int>(SensorRecord::kMotor) &&
                  static_cast<int>(SectionId::kCustomSensor) == static_cast<int>(SensorRecord::kCustom),
              "a sensor record's number is its section's");

namespace {

// By index, not by pointer: a sanitizer build cannot compare addresses in a constant expression.
consteval bool TableIsSound() {
  for (const SensorRecordInfo& r : kSensorRecords)
    if (RecordInfo(r.record).record != r.record) return false;
  for (std::size_t i = 0; i < kSensorFieldCount; ++i) {
    const SensorField& f = kSensorFields[i];
    const std::size_t end = f.offset + (f.kind == FieldKind::kWord ? 2u : 1u);
    if (end > RecordInfo(f.record).size) return false;
    if (OwnField(f) != f.of.empty()) return false;
    if (!OwnField(f)) {  // a view names a field of its own in the same record
      std::size_t seen = kSensorFieldCount;
      for (std::size_t j = 0; j < kSensorFieldCount; ++j)
        if (kSensorFields[j].name == f.of) seen = j;
      if (seen == kSensorFieldCount) return false;
      const SensorField& g = kSensorFields[seen];
      if (!OwnField(g) || g.record != f.record) return false;
      if (f.kind != FieldKind::kDirection && g.offset != f.offset) return false;
    }
    for (std::size_t j = 0; j < kSensorFieldCount; ++j) {
      const SensorField& g = kSensorFields[j];
      if (j != i && (g.name == f.name || (!f.getter.empty() && g.getter == f.getter))) return false;
    }
  }
  return true;
}
static_assert(TableIsSound(), "every field lies in its record, every view names a field, every name is one");

uint8_t ByteAt(const uint8_t* record, std::size_t size, std::size_t offset) {
  return offset < size ? record[offset] : 0;
}

}  // namespace

const SensorField* FieldOfGetter(std::string_view getter) {
  if (getter.empty()) return nullptr;
  for (const SensorField& f : kSensorFields)
    if (f.getter == getter) return &f;
  return nullptr;
}

const SensorField* FieldOfChannel(std::string_view channel_getter, int channel) {
  if (channel_getter.empty()) return nullptr;
  for (const SensorField& f : kSensorFields)
    if (f.channel_getter == channel_getter && f.channel == channel) return &f;
  return nullptr;
}

const SensorField* FieldNamed(std::string_view name) {
  for (const SensorField& f : kSensorFields)
    if (f.name == name) return &f;
  return nullptr;
}

int16_t ReadField(const SensorField& field, const uint8_t* record, std::size_t size) {
  if (record == nullptr) size = 0;
  const uint8_t b0 = ByteAt(record, size, field.offset);
  switch (field.kind) {
    case FieldKind::kByte:
    case FieldKind::kLowByte:
      return b0;
    case FieldKind::kWord:
      return static_cast<int16_t>(static_cast<uint16_t>(b0 | ByteAt(record, size, field.offset + 1u) << 8));
    case FieldKind::kAlias: {
      const SensorField* of = FieldNamed(field.of);
      return of != nullptr ? ReadField(*of, record, size) : 0;
    }
    case FieldKind::kDirection: {
      const SensorField* speed = FieldNamed(field.of);
      if (speed == nullptr || ReadField(*speed, record, size) == 0) return 0;
      return (b0 >> field.bit) & 1 ? 1 : -1;
    }
  }
  return 0;
}

void WriteField(const SensorField& field, uint8_t* record, int value) {
  if (field.kind == FieldKind::kByte) {
    record[field.offset] = static_cast<uint8_t>(value);
  } else if (field.kind == FieldKind::kWord) {
    record[field.offset] = static_cast<uint8_t>(value & 0xFF);
    record[field.offset + 1] = static_cast<uint8_t>((value >> 8) & 0xFF);
  }
}

}  // namespace exchange
