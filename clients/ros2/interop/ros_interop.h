// What makes a DDS endpoint a ROS 2 endpoint, for the DDS library ROS 2's default middleware layer
// speaks to: the names of types and topics, the QoS its layer gives each profile, the type hashes
// Iron and later put in each endpoint's USER_DATA, and the node announcement on ros_discovery_info
// without which `ros2 node list` does not show the robot.
//
// The facts here are ROS 2's (they fix what a ROS 2 peer sees on the wire): a Humble peer and a
// Jazzy peer differ in the size of the Gid in ros_discovery_info (24 bytes, 16 from Iron on) and in
// the type hash (none in Humble).
#pragma once

#include <dds/dds.h>

#include <string>
#include <string_view>
#include <vector>

namespace ros2 {

enum class Distribution { kHumble, kJazzy };  // kJazzy: Iron and later

// "humble" -> kHumble; "iron", "jazzy", "kilted", "rolling" -> kJazzy (any letter case). False, and
// `out` untouched, for anything else.
bool ParseDistribution(std::string_view text, Distribution& out);

enum class QosProfile {
  kSensorData,  // keep last 5, best effort, volatile
  kDefault,     // keep last 10, reliable, volatile
};

// "sensor_msgs/msg/Range" -> "sensor_msgs::msg::dds_::Range_"; "" for a name without a package.
std::string DdsTypeName(std::string_view ros_type);

// "/robot1" + "range/front" -> "rt/robot1/range/front". The namespace may be "", "/" or lack its
// leading slash; a name that starts with '/' is absolute and ignores the namespace.
std::string DdsTopicName(std::string_view ros_namespace, std::string_view ros_name);

// "RIHS01_" + 64 lower-case hex digits, as ROS 2 computes it for the type (the Jazzy definitions), or
// "" for a type the table does not know.
std::string TypeHash(std::string_view ros_type);

// The ROS types TypeHash knows, as "package/msg/Type".
std::vector<std::string> KnownTypes();

// A QoS as ROS 2's layer sets it for the profile: history, reliability, durability, liveliness,
// no auto-dispose, XCDR1 data representation, and for kJazzy the USER_DATA "typehash=RIHS01_...;".
// Caller frees it with dds_delete_qos. Null if `ros_type` is unknown and the distribution is kJazzy.
dds_qos_t* MakeEndpointQos(QosProfile profile, std::string_view ros_type, Distribution distribution);

// A participant as ROS 2 makes one (its USER_DATA "enclave=/;"), on `domain`. Negative on failure.
dds_entity_t MakeParticipant(dds_domainid_t domain, Distribution distribution);

// A copy of an IDL compiler's descriptor whose type goes on the wire as `dds_type_name` (which must
// outlive the topic), without the compiler's type information (ROS 2's endpoints carry none). For a
// type whose layout differs between distributions (e.g. sensor_msgs/Range, which has `variance` from
// Iron on): each layout is compiled in a module of its own and named as ROS 2 names it.
dds_topic_descriptor_t RenamedDescriptor(const dds_topic_descriptor_t& descriptor, const char* dds_type_name);

// Owns one DDS entity (participant, topic, writer, reader ...) and deletes it (and its children).
class Entity {
 public:
  Entity() = default;
  explicit Entity(dds_entity_t handle) : handle_(handle) {}
  ~Entity() { Reset(); }
  Entity(Entity&& other) noexcept : handle_(other.Release()) {}
  Entity& operator=(Entity&& other) noexcept {
    if (this != &other) {
      Reset();
      handle_ = other.Release();
    }
    return *this;
  }
  Entity(const Entity&) = delete;
  Entity& operator=(const Entity&) = delete;

  dds_entity_t get() const { return handle_; }
  bool valid() const { return handle_ > 0; }
  dds_entity_t Release() {
    const dds_entity_t handle = handle_;
    handle_ = 0;
    return handle;
  }
  void Reset() {
    if (handle_ > 0) dds_delete(handle_);
    handle_ = 0;
  }

 private:
  dds_entity_t handle_ = 0;
};

// The 16 bytes of an entity's GUID as ROS 2's layer puts it in a Gid (zero-padded to the Gid's size).
std::vector<unsigned char> EntityGid(dds_entity_t entity, Distribution distribution);

// Announces one node on ros_discovery_info: its participant's Gid, node namespace and name, and the
// Gids of the writers and readers given. Announce() again after adding endpoints; the destructor
// withdraws the node (announces the participant without it). One announcer per participant: ROS 2
// takes each announcement as the participant's whole list of nodes.
class CNodeAnnouncer {
 public:
  CNodeAnnouncer() = default;
  ~CNodeAnnouncer();
  CNodeAnnouncer(CNodeAnnouncer&&) noexcept = default;
  CNodeAnnouncer& operator=(CNodeAnnouncer&&) noexcept;
  CNodeAnnouncer(const CNodeAnnouncer&) = delete;
  CNodeAnnouncer& operator=(const CNodeAnnouncer&) = delete;

  // Creates the ros_discovery_info writer on `participant` (which must outlive the announcer). The
  // namespace may be "" (the root, "/"); the name is the node's name without slashes. False if the
  // writer cannot be made or the names do not fit ROS 2's (256 characters at most).
  bool Start(dds_entity_t participant, std::string ros_namespace, std::string node_name, Distribution d);
  void AddWriter(dds_entity_t writer);
  void AddReader(dds_entity_t reader);
  // Writes the announcement; the writer keeps the last one for peers that come later.
  bool Announce();

 private:
  bool Write(bool with_node);

  Entity topic_;
  Entity writer_;  // after the topic: goes first
  dds_entity_t participant_ = 0;
  Distribution distribution_ = Distribution::kJazzy;
  std::string namespace_;
  std::string name_;
  std::vector<std::vector<unsigned char>> writer_gids_;
  std::vector<std::vector<unsigned char>> reader_gids_;
};

}  // namespace ros2
