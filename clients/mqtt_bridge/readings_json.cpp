#include "clients/mqtt_bridge/readings_json.h"

#include <string>
#include <vector>

namespace mqtt_bridge {
namespace {

struct Field {
  std::string name;
  std::size_t offset;
  bool word;  // a signed 16-bit word, low byte first; else one byte
};

std::vector<Field> Numbered(const char* stem, int count, std::size_t first, std::size_t step, bool word) {
  std::vector<Field> out;
  for (int i = 1; i <= count; ++i)
    out.push_back({stem + std::to_string(i), first + step * static_cast<std::size_t>(i - 1), word});
  return out;
}

void Append(std::vector<Field>& to, const std::vector<Field>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

std::vector<Field> StandardFields() {
  std::vector<Field> f = Numbered("sonar", 6, 0, 1, false);
  Append(f, {{"human_motion1", 6, true},
             {"human_alarm1", 8, true},
             {"human_motion2", 10, true},
             {"human_alarm2", 12, true},
             {"tilting_x", 14, true},
             {"tilting_y", 16, true},
             {"overheat_ad1", 18, true},
             {"overheat_ad2", 20, true},
             {"temperature", 22, true},
             {"ir_range", 24, true}});
  Append(f, Numbered("ir_code", 4, 26, 1, false));
  Append(f, {{"battery_ad1", 30, true},
             {"battery_ad2", 32, true},
             {"battery_ad3", 34, true},
             {"ref_voltage", 36, true},
             {"pot_voltage", 38, true}});
  return f;
}

std::vector<Field> MotorFields() {
  std::vector<Field> f = Numbered("pot", 6, 0, 2, true);
  Append(f, Numbered("current", 6, 12, 2, true));
  Append(f, {{"encoder_pulse1", 24, true},
             {"encoder_speed1", 26, true},
             {"encoder_pulse2", 28, true},
             {"encoder_speed2", 30, true},
             {"encoder_directions", 32, false}});
  return f;
}

std::vector<Field> CustomFields() {
  std::vector<Field> f = Numbered("ad", 8, 0, 2, true);
  f.push_back({"din", 16, false});
  Append(f, Numbered("gps", 8, 17, 2, true));
  Append(f, Numbered("sen_id", 4, 33, 1, false));
  return f;
}

const std::vector<Field>& Fields(RecordKind kind) {
  static const std::vector<Field> standard = StandardFields();
  static const std::vector<Field> motor = MotorFields();
  static const std::vector<Field> custom = CustomFields();
  return kind == RecordKind::kStandard ? standard : kind == RecordKind::kMotor ? motor : custom;
}

}  // namespace

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

nlohmann::json ReadingJson(RecordKind kind, const uint8_t* record, std::size_t size) {
  nlohmann::json j = nlohmann::json::object();
  for (const Field& f : Fields(kind)) {
    int value = 0;
    if (!f.word && f.offset < size)
      value = record[f.offset];
    else if (f.word && f.offset + 2 <= size)
      value = static_cast<int16_t>(static_cast<uint16_t>(record[f.offset] | (record[f.offset + 1] << 8)));
    j[f.name] = value;
  }
  j["raw"] = Base64(record, size);
  return j;
}

std::string FieldNames(RecordKind kind) {
  std::string out;
  for (const Field& f : Fields(kind)) out += (out.empty() ? "" : " ") + f.name;
  return out;
}

}  // namespace mqtt_bridge
