// Sensor records as JSON with named fields, every field of its own of the record table (the names the
// Python readings use), plus the raw record in base64: {"sonar1": 12, ..., "raw": "..."}. Values are
// the raw bytes (0..255) and signed words (low byte first) the robot sends; no physical scale is
// applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "exchange/sensor_records.h"

namespace mqtt_bridge {

// The record's fields; a field beyond a short record reads 0, as the control's getters do.
nlohmann::json ReadingJson(exchange::SensorRecord record, const uint8_t* bytes, std::size_t size);
std::string Base64(const uint8_t* bytes, std::size_t size);

}  // namespace mqtt_bridge
