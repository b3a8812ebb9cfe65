// The node's entry in ros_discovery_info, which is how `ros2 node list` and `ros2 node info` learn
// of a node and of the endpoints that belong to it (the endpoints themselves they learn from DDS).
#include <cstring>

#include "clients/ros2/interop/ros_interop.h"
#include "ros_discovery_info.h"
#include "ros_discovery_info_humble.h"

namespace ros2 {
namespace {

constexpr char kTopic[] = "ros_discovery_info";
constexpr char kTypeName[] = "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_";
constexpr size_t kMaxNameLength = 256;  // the fields are string<=256

// The QoS ROS 2 gives its ros_discovery_info writer: the default profile with keep last 1, reliable
// and transient local, so that a peer that comes later gets the last announcement.
dds_qos_t* DiscoveryQos(Distribution distribution) {
  dds_qos_t* qos = dds_create_qos();
  dds_qset_writer_data_lifecycle(qos, false);
  dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
  dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
  dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
  dds_qset_durability_service(qos, 0, DDS_HISTORY_KEEP_LAST, 1, DDS_LENGTH_UNLIMITED, DDS_LENGTH_UNLIMITED,
                              DDS_LENGTH_UNLIMITED);
  dds_qset_liveliness(qos, DDS_LIVELINESS_AUTOMATIC, DDS_INFINITY);
  const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
  dds_qset_data_representation(qos, 1, &xcdr1);
  if (distribution == Distribution::kJazzy) {
    const std::string user_data = "typehash=" + TypeHash("rmw_dds_common/msg/ParticipantEntitiesInfo") + ";";
    dds_qset_userdata(qos, user_data.data(), user_data.size());
  }
  return qos;
}

// The message in one layout (Gid_ and the sequences differ in type between the two). The buffers
// point into the announcer's vectors, which outlive the write.
template <typename Info, typename Node, typename Gid, typename GidSeq>
bool WriteInfo(dds_entity_t writer, const std::vector<unsigned char>& participant_gid, const std::string* ns,
               const std::string* name, const std::vector<std::vector<unsigned char>>& readers,
               const std::vector<std::vector<unsigned char>>& writers) {
  auto fill_gid = [](Gid& gid, const std::vector<unsigned char>& bytes) {
    std::memcpy(gid.data, bytes.data(), sizeof gid.data);
  };
  auto fill_seq = [&](GidSeq& seq, std::vector<Gid>& storage,
                      const std::vector<std::vector<unsigned char>>& from) {
    storage.resize(from.size());
    for (size_t i = 0; i < from.size(); ++i) fill_gid(storage[i], from[i]);
    seq._maximum = seq._length = static_cast<uint32_t>(storage.size());
    seq._buffer = storage.data();
    seq._release = false;
  };
  Info info{};
  fill_gid(info.gid, participant_gid);
  Node node{};
  std::vector<Gid> reader_storage, writer_storage;
  if (ns != nullptr) {
    std::memcpy(node.node_namespace, ns->c_str(), ns->size() + 1);
    std::memcpy(node.node_name, name->c_str(), name->size() + 1);
    fill_seq(node.reader_gid_seq, reader_storage, readers);
    fill_seq(node.writer_gid_seq, writer_storage, writers);
    info.node_entities_info_seq._maximum = info.node_entities_info_seq._length = 1;
    info.node_entities_info_seq._buffer = &node;
  }
  info.node_entities_info_seq._release = false;
  return dds_write(writer, &info) == DDS_RETCODE_OK;
}

}  // namespace

CNodeAnnouncer& CNodeAnnouncer::operator=(CNodeAnnouncer&& other) noexcept {
  if (this != &other) {
    if (writer_.valid()) Write(false);
    writer_ = std::move(other.writer_);
    topic_ = std::move(other.topic_);
    participant_ = other.participant_;
    distribution_ = other.distribution_;
    namespace_ = std::move(other.namespace_);
    name_ = std::move(other.name_);
    writer_gids_ = std::move(other.writer_gids_);
    reader_gids_ = std::move(other.reader_gids_);
  }
  return *this;
}

CNodeAnnouncer::~CNodeAnnouncer() {
  // Peers drop the node at once instead of when the participant goes.
  if (writer_.valid()) Write(false);
  writer_.Reset();
  topic_.Reset();
}

bool CNodeAnnouncer::Start(dds_entity_t participant, std::string ros_namespace, std::string node_name,
                           Distribution d) {
  // ROS 2 writes the root namespace as "/" and others as "/a/b".
  while (ros_namespace.size() > 1 && ros_namespace.back() == '/') ros_namespace.pop_back();
  if (ros_namespace.empty() || ros_namespace.front() != '/') ros_namespace.insert(0, "/");
  if (ros_namespace.size() > kMaxNameLength || node_name.empty() || node_name.size() > kMaxNameLength ||
      node_name.find('/') != std::string::npos) {
    return false;
  }
  writer_.Reset();
  topic_.Reset();
  static const dds_topic_descriptor_t kHumbleDescriptor =
      RenamedDescriptor(humble_rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc, kTypeName);
  static const dds_topic_descriptor_t kJazzyDescriptor =
      RenamedDescriptor(rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc, kTypeName);
  const dds_topic_descriptor_t* descriptor =
      d == Distribution::kHumble ? &kHumbleDescriptor : &kJazzyDescriptor;
  topic_ = Entity(dds_create_topic(participant, descriptor, kTopic, nullptr, nullptr));
  if (!topic_.valid()) return false;
  dds_qos_t* qos = DiscoveryQos(d);
  writer_ = Entity(dds_create_writer(participant, topic_.get(), qos, nullptr));
  dds_delete_qos(qos);
  if (!writer_.valid()) {
    topic_.Reset();
    return false;
  }
  participant_ = participant;
  distribution_ = d;
  namespace_ = std::move(ros_namespace);
  name_ = std::move(node_name);
  writer_gids_.clear();
  reader_gids_.clear();
  return true;
}

void CNodeAnnouncer::AddWriter(dds_entity_t writer) {
  writer_gids_.push_back(EntityGid(writer, distribution_));
}

void CNodeAnnouncer::AddReader(dds_entity_t reader) {
  reader_gids_.push_back(EntityGid(reader, distribution_));
}

bool CNodeAnnouncer::Announce() {
  return writer_.valid() && Write(true);
}

bool CNodeAnnouncer::Write(bool with_node) {
  const std::vector<unsigned char> gid = EntityGid(participant_, distribution_);
  const std::string* ns = with_node ? &namespace_ : nullptr;
  const std::string* name = with_node ? &name_ : nullptr;
  if (distribution_ == Distribution::kHumble) {
    return WriteInfo<humble_rmw_dds_common_msg_dds__ParticipantEntitiesInfo_,
                     humble_rmw_dds_common_msg_dds__NodeEntitiesInfo_, humble_rmw_dds_common_msg_dds__Gid_,
                     dds_sequence_humble_rmw_dds_common_msg_dds__Gid_>(writer_.get(), gid, ns, name,
                                                                       reader_gids_, writer_gids_);
  }
  return WriteInfo<rmw_dds_common_msg_dds__ParticipantEntitiesInfo_,
                   rmw_dds_common_msg_dds__NodeEntitiesInfo_, rmw_dds_common_msg_dds__Gid_,
                   dds_sequence_rmw_dds_common_msg_dds__Gid_>(writer_.get(), gid, ns, name, reader_gids_,
                                                              writer_gids_);
}

}  // namespace ros2
