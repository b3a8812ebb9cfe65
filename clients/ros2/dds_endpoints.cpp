#include "clients/ros2/dds_endpoints.h"

#include <deque>
#include <mutex>

namespace ros2_bridge {

dds_qos_t* EndpointQos(QosProfile profile, std::string_view /*ros_type*/, RosDistro /*distro*/) {
  dds_qos_t* qos = dds_create_qos();
  if (profile == QosProfile::kSensorData) {
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 5);
    dds_qset_reliability(qos, DDS_RELIABILITY_BEST_EFFORT, 0);
  } else {
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 10);
    dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_SECS(1));
  }
  dds_qset_durability(qos, DDS_DURABILITY_VOLATILE);
  // ROS 2's layer writes and reads XCDR1 only: a reader that would take XCDR2 alone never matches it.
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  return qos;
}

std::string DdsTopicName(std::string_view ros_namespace, std::string_view ros_name) {
  if (!ros_name.empty() && ros_name[0] == '/') return "rt" + std::string(ros_name);
  std::string ns(ros_namespace);
  if (ns.empty() || ns.back() != '/') ns += '/';
  if (ns[0] != '/') ns.insert(0, "/");
  return "rt" + ns + std::string(ros_name);
}

dds_entity_t CreateTopic(dds_entity_t participant, const dds_topic_descriptor_t& descriptor,
                         const std::string& topic_name, const char* dds_type_name) {
  if (dds_type_name == nullptr)
    return dds_create_topic(participant, &descriptor, topic_name.c_str(), nullptr, nullptr);
  // Kept for the process's life, in case the library holds on to the descriptor it was given.
  static std::mutex mutex;
  static std::deque<std::string> names;
  static std::deque<dds_topic_descriptor_t> renamed;
  const std::lock_guard<std::mutex> lock(mutex);
  const std::string& name = names.emplace_back(dds_type_name);
  const dds_topic_descriptor_t& stored = renamed.emplace_back(dds_topic_descriptor_t{
      descriptor.m_size, descriptor.m_align, descriptor.m_flagset, descriptor.m_nkeys, name.c_str(),
      descriptor.m_keys, descriptor.m_nops, descriptor.m_ops, descriptor.m_meta, descriptor.type_information,
      descriptor.type_mapping, descriptor.restrict_data_representation});
  return dds_create_topic(participant, &stored, topic_name.c_str(), nullptr, nullptr);
}

}  // namespace ros2_bridge
