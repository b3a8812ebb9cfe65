// Sensor records as JSON with named fields, the names the Python readings use, plus the raw record
// in base64: {"sonar1": 12, ..., "raw": "..."}. Values are the raw bytes (0..255) and signed words
// (low byte first) the robot sends; no physical scale is applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace mqtt_bridge {

enum class RecordKind { kStandard = 0, kMotor = 1, kCustom = 2 };

// The record's fields; a field beyond a short record reads 0, as the control's getters do.
nlohmann::json ReadingJson(RecordKind kind, const uint8_t* record, std::size_t size);
// The field names of a kind, in record order.
std::string FieldNames(RecordKind kind);
std::string Base64(const uint8_t* bytes, std::size_t size);

}  // namespace mqtt_bridge
