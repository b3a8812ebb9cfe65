// ROS 2's type hashes (RIHS01): SHA-256 over the type description as ROS 2's interface generator
// writes it for hashing. The table holds the message definitions (the .msg files of the Jazzy
// release) of the types the robot's topics use and of the types they refer to.
#include "clients/ros2/interop/type_hash.h"

#include <openssl/sha.h>

#include <algorithm>
#include <set>
#include <vector>

#include "clients/ros2/interop/ros_interop.h"

namespace ros2 {
namespace {

// Field type ids ROS 2 gives a field in a type description (type_description_interfaces FieldType):
// the element's id, plus an offset for a fixed array, a bounded or an unbounded sequence.
enum FieldTypeId : int {
  kNested = 1,
  kUint8 = 3,
  kInt32 = 6,
  kUint32 = 7,
  kFloat32 = 10,
  kFloat64 = 11,
  kBool = 15,
  kByte = 16,  // .msg `byte`; .msg `char` is uint8
  kString = 17,
  kBoundedString = 21,
};
constexpr int kArray = 48;
constexpr int kSequence = 144;

struct Field {
  const char* name;
  int type_id;
  int capacity = 0;         // a fixed array's length
  int string_capacity = 0;  // a bounded string's bound
  const char* nested = "";  // the nested type's name
};

struct TypeDescription {
  const char* name;
  std::vector<Field> fields;
};

const Field kHeader{"header", kNested, 0, 0, "std_msgs/msg/Header"};

const std::vector<TypeDescription>& Types() {
  static const std::vector<TypeDescription> types = {
      {"builtin_interfaces/msg/Time", {{"sec", kInt32}, {"nanosec", kUint32}}},
      {"std_msgs/msg/Header",
       {{"stamp", kNested, 0, 0, "builtin_interfaces/msg/Time"}, {"frame_id", kString}}},
      {"std_msgs/msg/Float64", {{"data", kFloat64}}},
      {"std_msgs/msg/Int32", {{"data", kInt32}}},
      {"std_msgs/msg/String", {{"data", kString}}},
      {"std_msgs/msg/MultiArrayDimension", {{"label", kString}, {"size", kUint32}, {"stride", kUint32}}},
      {"std_msgs/msg/MultiArrayLayout",
       {{"dim", kNested + kSequence, 0, 0, "std_msgs/msg/MultiArrayDimension"}, {"data_offset", kUint32}}},
      {"std_msgs/msg/Float64MultiArray",
       {{"layout", kNested, 0, 0, "std_msgs/msg/MultiArrayLayout"}, {"data", kFloat64 + kSequence}}},
      // Iron added `variance`; Humble's Range ends at `range` (and carries no hash).
      {"sensor_msgs/msg/Range",
       {kHeader,
        {"radiation_type", kUint8},
        {"field_of_view", kFloat32},
        {"min_range", kFloat32},
        {"max_range", kFloat32},
        {"range", kFloat32},
        {"variance", kFloat32}}},
      {"sensor_msgs/msg/CompressedImage", {kHeader, {"format", kString}, {"data", kUint8 + kSequence}}},
      {"sensor_msgs/msg/Image",
       {kHeader,
        {"height", kUint32},
        {"width", kUint32},
        {"encoding", kString},
        {"is_bigendian", kUint8},
        {"step", kUint32},
        {"data", kUint8 + kSequence}}},
      {"sensor_msgs/msg/JointState",
       {kHeader,
        {"name", kString + kSequence},
        {"position", kFloat64 + kSequence},
        {"velocity", kFloat64 + kSequence},
        {"effort", kFloat64 + kSequence}}},
      {"sensor_msgs/msg/BatteryState",
       {kHeader,
        {"voltage", kFloat32},
        {"temperature", kFloat32},
        {"current", kFloat32},
        {"charge", kFloat32},
        {"capacity", kFloat32},
        {"design_capacity", kFloat32},
        {"percentage", kFloat32},
        {"power_supply_status", kUint8},
        {"power_supply_health", kUint8},
        {"power_supply_technology", kUint8},
        {"present", kBool},
        {"cell_voltage", kFloat32 + kSequence},
        {"cell_temperature", kFloat32 + kSequence},
        {"location", kString},
        {"serial_number", kString}}},
      {"sensor_msgs/msg/Temperature", {kHeader, {"temperature", kFloat64}, {"variance", kFloat64}}},
      {"diagnostic_msgs/msg/KeyValue", {{"key", kString}, {"value", kString}}},
      {"diagnostic_msgs/msg/DiagnosticStatus",
       {{"level", kByte},
        {"name", kString},
        {"message", kString},
        {"hardware_id", kString},
        {"values", kNested + kSequence, 0, 0, "diagnostic_msgs/msg/KeyValue"}}},
      {"diagnostic_msgs/msg/DiagnosticArray",
       {kHeader, {"status", kNested + kSequence, 0, 0, "diagnostic_msgs/msg/DiagnosticStatus"}}},
      {"geometry_msgs/msg/Vector3", {{"x", kFloat64}, {"y", kFloat64}, {"z", kFloat64}}},
      {"geometry_msgs/msg/Twist",
       {{"linear", kNested, 0, 0, "geometry_msgs/msg/Vector3"},
        {"angular", kNested, 0, 0, "geometry_msgs/msg/Vector3"}}},
      // The Gid's 16-byte form (Iron on); Humble's 24-byte one is never hashed.
      {"rmw_dds_common/msg/Gid", {{"data", kUint8 + kArray, 16}}},
      {"rmw_dds_common/msg/NodeEntitiesInfo",
       {{"node_namespace", kBoundedString, 0, 256},
        {"node_name", kBoundedString, 0, 256},
        {"reader_gid_seq", kNested + kSequence, 0, 0, "rmw_dds_common/msg/Gid"},
        {"writer_gid_seq", kNested + kSequence, 0, 0, "rmw_dds_common/msg/Gid"}}},
      {"rmw_dds_common/msg/ParticipantEntitiesInfo",
       {{"gid", kNested, 0, 0, "rmw_dds_common/msg/Gid"},
        {"node_entities_info_seq", kNested + kSequence, 0, 0, "rmw_dds_common/msg/NodeEntitiesInfo"}}},
  };
  return types;
}

const TypeDescription* Find(std::string_view name) {
  const auto& types = Types();
  const auto found = std::find_if(types.begin(), types.end(), [&](const auto& t) { return name == t.name; });
  return found == types.end() ? nullptr : &*found;
}

// Every type `type` refers to, directly or through others. False if one is missing from the table.
bool CollectReferences(const TypeDescription& type, std::set<std::string>& names) {
  for (const Field& field : type.fields) {
    if (*field.nested == '\0' || names.count(field.nested) != 0) continue;
    const TypeDescription* nested = Find(field.nested);
    if (nested == nullptr) return false;
    names.insert(field.nested);
    if (!CollectReferences(*nested, names)) return false;
  }
  return true;
}

// Names and type names in the table are identifiers and slashes: nothing to escape.
void AppendDescription(const TypeDescription& type, std::string& out) {
  out += "{\"type_name\": \"";
  out += type.name;
  out += "\", \"fields\": [";
  for (size_t i = 0; i < type.fields.size(); ++i) {
    const Field& f = type.fields[i];
    if (i != 0) out += ", ";
    out += "{\"name\": \"" + std::string(f.name) +
           "\", \"type\": {\"type_id\": " + std::to_string(f.type_id) +
           ", \"capacity\": " + std::to_string(f.capacity) +
           ", \"string_capacity\": " + std::to_string(f.string_capacity) + ", \"nested_type_name\": \"" +
           f.nested + "\"}}";
  }
  out += "]}";
}

}  // namespace

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * SHA256_DIGEST_LENGTH);
  for (const unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0x0f];
  }
  return hex;
}

std::string TypeDescriptionJson(std::string_view ros_type) {
  const TypeDescription* type = Find(ros_type);
  std::set<std::string> references;  // sorted by name, as ROS 2 lists them
  if (type == nullptr || !CollectReferences(*type, references)) return "";
  std::string json = "{\"type_description\": ";
  AppendDescription(*type, json);
  json += ", \"referenced_type_descriptions\": [";
  bool first = true;
  for (const std::string& name : references) {
    if (!first) json += ", ";
    first = false;
    AppendDescription(*Find(name), json);
  }
  json += "]}";
  return json;
}

std::string TypeHash(std::string_view ros_type) {
  const std::string json = TypeDescriptionJson(ros_type);
  return json.empty() ? "" : "RIHS01_" + Sha256Hex(json);
}

std::vector<std::string> KnownTypes() {
  std::vector<std::string> names;
  for (const TypeDescription& type : Types()) names.emplace_back(type.name);
  return names;
}

}  // namespace ros2
