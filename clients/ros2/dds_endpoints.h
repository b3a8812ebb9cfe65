// The DDS side of the bridge: an owner for DDS entities, the topics, writers and readers ROS 2's
// middleware layer makes (names "rt/...", type names "<package>::msg::dds_::<Type>_", XCDR1), and
// the QoS of each kind of endpoint.
#pragma once

#include <dds/dds.h>

#include <string>
#include <string_view>
#include <utility>

#include "clients/ros2/bridge_options.h"

namespace ros2_bridge {

// Owns one DDS entity and deletes it (and its children) when it goes.
class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t e) : e_(e) {}
  ~Entity() { Reset(); }
  Entity(Entity&& other) noexcept : e_(std::exchange(other.e_, 0)) {}
  Entity& operator=(Entity&& other) noexcept {
    if (this != &other) {
      Reset();
      e_ = std::exchange(other.e_, 0);
    }
    return *this;
  }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;
  void Reset() {
    if (e_ > 0) dds_delete(e_);
    e_ = 0;
  }
  dds_entity_t get() const { return e_; }
  bool ok() const { return e_ > 0; }

 private:
  dds_entity_t e_ = 0;
};

enum class QosProfile { kSensorData, kDefault };

// The QoS of one endpoint as ROS 2's middleware layer sets it for `profile`: sensor data keeps the
// last 5 samples, best effort; default keeps the last 10, reliable; both volatile, XCDR1. The caller
// frees it with dds_delete_qos.
dds_qos_t* EndpointQos(QosProfile profile, std::string_view ros_type, RosDistro distro);

// "/robot1" + "sonar_1" -> "rt/robot1/sonar_1"; an absolute name ("/diagnostics") ignores the
// namespace.
std::string DdsTopicName(std::string_view ros_namespace, std::string_view ros_name);

// A topic of `descriptor`'s layout named `dds_type_name` on the wire (empty: the descriptor's own
// name), for a layout that several ROS 2 releases give different fields under one name.
dds_entity_t CreateTopic(dds_entity_t participant, const dds_topic_descriptor_t& descriptor,
                         const std::string& topic_name, const char* dds_type_name = nullptr);

}  // namespace ros2_bridge
