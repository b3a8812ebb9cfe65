#include "clients/mqtt_bridge/readings_json.h"

#include <string>

namespace mqtt_bridge {

std::string Base64(const uint8_t* bytes, std::size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const uint32_t b0 = bytes[i];
    const uint32_t b1 = i + 1 < size ? bytes[i + 1] : 0;
    const uint32_t b2 = i + 2 < size ? bytes[i + 2] : 0;
    const uint32_t n = (b0 << 16) | (b1 << 8) | b2;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < size ? kAlphabet[n & 63] : '=');
  }
  return out;
}

nlohmann::json ReadingJson(exchange::SensorRecord record, const uint8_t* bytes, std::size_t size) {
  nlohmann::json j = nlohmann::json::object();
  for (const exchange::SensorField& f : exchange::kSensorFields)
    if (f.record == record && exchange::OwnField(f))
      j[std::string(f.name)] = exchange::ReadField(f, bytes, size);
  j["raw"] = Base64(bytes, size);
  return j;
}

}  // namespace mqtt_bridge
