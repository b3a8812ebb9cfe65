// Names, QoS and participants as ROS 2's DDS layer makes them.
#include "clients/ros2/interop/ros_interop.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

namespace ros2 {

bool ParseDistribution(std::string_view text, Distribution& out) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower == "humble") {
    out = Distribution::kHumble;
    return true;
  }
  // Iron brought the 16-byte Gid and the type hashes; the later releases keep both.
  static constexpr std::array<std::string_view, 4> kLater = {"iron", "jazzy", "kilted", "rolling"};
  if (std::find(kLater.begin(), kLater.end(), lower) != kLater.end()) {
    out = Distribution::kJazzy;
    return true;
  }
  return false;
}

std::string DdsTypeName(std::string_view ros_type) {
  // "package/msg/Type" or "package/Type".
  const size_t first = ros_type.find('/');
  const size_t last = ros_type.rfind('/');
  if (first == std::string_view::npos || first == 0 || last + 1 == ros_type.size()) return "";
  const std::string_view middle = ros_type.substr(first, last - first + 1);
  if (middle != "/" && middle != "/msg/") return "";
  return std::string(ros_type.substr(0, first)) + "::msg::dds_::" + std::string(ros_type.substr(last + 1)) +
         "_";
}

std::string DdsTopicName(std::string_view ros_namespace, std::string_view ros_name) {
  std::string name = "rt";
  if (ros_name.empty() || ros_name.front() != '/') {
    while (!ros_namespace.empty() && ros_namespace.back() == '/') ros_namespace.remove_suffix(1);
    if (!ros_namespace.empty() && ros_namespace.front() != '/') name += '/';
    name += ros_namespace;
    name += '/';
  }
  name += ros_name;
  return name;
}

dds_qos_t* MakeEndpointQos(QosProfile profile, std::string_view ros_type, Distribution distribution) {
  std::string user_data;
  if (distribution == Distribution::kJazzy) {
    // Without it a Jazzy peer still matches the endpoint but warns about it, once per endpoint.
    const std::string hash = TypeHash(ros_type);
    if (hash.empty()) return nullptr;
    user_data = "typehash=" + hash + ";";
  }
  dds_qos_t* qos = dds_create_qos();
  // ROS 2's layer turns off auto-dispose and always states history, reliability, durability and
  // liveliness (what a reader's requested QoS is compared against).
  dds_qset_writer_data_lifecycle(qos, false);
  if (profile == QosProfile::kSensorData) {
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  }
  dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
  // ROS 2's serializer speaks XCDR1 only, so its endpoints offer and accept nothing else.
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  if (!user_data.empty()) dds_qset_userdata(qos, user_data.data(), user_data.size());
  return qos;
}

dds_entity_t MakeParticipant(dds_domainid_t domain, Distribution distribution) {
  // Both releases name the participant's security enclave; the robot's is the root one.
  static_cast<void>(distribution);
  static constexpr char kUserData[] = "enclave=/;";
  dds_qos_t* qos = dds_create_qos();
  dds_qset_userdata(qos, kUserData, sizeof kUserData - 1);
  const dds_entity_t participant = dds_create_participant(domain, qos, nullptr);
  dds_delete_qos(qos);
  return participant;
}

dds_topic_descriptor_t RenamedDescriptor(const dds_topic_descriptor_t& descriptor,
                                         const char* dds_type_name) {
  return dds_topic_descriptor_t{
      descriptor.m_size,
      descriptor.m_align,
      descriptor.m_flagset & ~static_cast<uint32_t>(DDS_TOPIC_XTYPES_METADATA),
      descriptor.m_nkeys,
      dds_type_name,
      descriptor.m_keys,
      descriptor.m_nops,
      descriptor.m_ops,
      descriptor.m_meta,
      {nullptr, 0},
      {nullptr, 0},
      descriptor.restrict_data_representation,
  };
}

std::vector<unsigned char> EntityGid(dds_entity_t entity, Distribution distribution) {
  // ROS 2's layer copies the 16-byte GUID into the Gid and zeroes the rest (Humble's Gid is 24).
  std::vector<unsigned char> gid(distribution == Distribution::kHumble ? 24 : 16, 0);
  dds_guid_t guid;
  if (dds_get_guid(entity, &guid) == DDS_RETCODE_OK) std::memcpy(gid.data(), guid.v, sizeof guid.v);
  return gid;
}

}  // namespace ros2
