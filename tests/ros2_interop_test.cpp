// What a ROS 2 peer relies on from the robot's DDS endpoints: names, QoS, type hashes, and the node
// announcement on ros_discovery_info, read back through DDS on a private domain over loopback.
#include <dds/ddsi/ddsi_serdata.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "clients/ros2/interop/ros_interop.h"
#include "clients/ros2/interop/type_hash.h"
#include "ros_discovery_info.h"
#include "ros_discovery_info_humble.h"
#include "wait_support.h"

namespace {

using ros2::Distribution;
using Bytes = std::vector<unsigned char>;

// A domain of this process's own, so that parallel test programs never see each other.
dds_domainid_t PrivateDomain(int offset) {
  setenv("CYCLONEDDS_URI", "file://" TEST_DATA_DIR "/dds_loopback.xml", 1);
  return static_cast<dds_domainid_t>(1 + (getpid() * 2 + offset) % 229);  // never 0, ROS 2's default
}

Bytes GuidBytes(dds_entity_t entity, size_t size) {
  dds_guid_t guid;
  EXPECT_EQ(dds_get_guid(entity, &guid), DDS_RETCODE_OK);
  Bytes bytes(size, 0);
  std::memcpy(bytes.data(), guid.v, sizeof guid.v);
  return bytes;
}

TEST(Ros2Interop, NamesAndDistributions) {
  struct NameCase {
    const char* ros_type;
    const char* dds_type;
  };
  for (const NameCase& c : std::vector<NameCase>{{"sensor_msgs/msg/Range", "sensor_msgs::msg::dds_::Range_"},
                                                 {"std_msgs/String", "std_msgs::msg::dds_::String_"},
                                                 {"Range", ""},
                                                 {"/msg/Range", ""},
                                                 {"sensor_msgs/msg/", ""},
                                                 {"sensor_msgs/srv/Range", ""}}) {
    EXPECT_EQ(ros2::DdsTypeName(c.ros_type), c.dds_type) << c.ros_type;
  }
  struct TopicCase {
    const char* ns;
    const char* name;
    const char* topic;
  };
  for (const TopicCase& c : std::vector<TopicCase>{{"/robot1", "range/front", "rt/robot1/range/front"},
                                                   {"robot1/", "imu", "rt/robot1/imu"},
                                                   {"", "imu", "rt/imu"},
                                                   {"/", "imu", "rt/imu"},
                                                   {"/robot1", "/cmd_vel", "rt/cmd_vel"}}) {
    EXPECT_EQ(ros2::DdsTopicName(c.ns, c.name), c.topic) << c.ns << " + " << c.name;
  }
  struct DistributionCase {
    const char* text;
    std::optional<Distribution> parsed;
  };
  for (const DistributionCase& c : std::vector<DistributionCase>{{"humble", Distribution::kHumble},
                                                                 {"Jazzy", Distribution::kJazzy},
                                                                 {"iron", Distribution::kJazzy},
                                                                 {"rolling", Distribution::kJazzy},
                                                                 {"foxy", std::nullopt},
                                                                 {"", std::nullopt}}) {
    // Starts at the other value, so that a parse that writes nothing shows.
    Distribution parsed = c.parsed == Distribution::kHumble ? Distribution::kJazzy : Distribution::kHumble;
    const Distribution untouched = parsed;
    EXPECT_EQ(ros2::ParseDistribution(c.text, parsed), c.parsed.has_value()) << c.text;
    EXPECT_EQ(parsed, c.parsed.value_or(untouched)) << c.text;
  }
}

TEST(Ros2Interop, Sha256MatchesNistVectors) {
  // FIPS 180-4 examples (NIST's SHA256.pdf and the short/long message tests).
  EXPECT_EQ(ros2::Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(ros2::Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(ros2::Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(ros2::Sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Ros2Interop, TypeHashesMatchRos2s) {
  // The hashes ROS 2's interface generator wrote for these types (Jazzy), as published in its
  // generated type descriptions.
  struct HashCase {
    const char* ros_type;
    const char* hash;
  };
  const std::vector<HashCase> cases = {
      {"builtin_interfaces/msg/Time", "b106235e25a4c5ed35098aa0a61a3ee9c9b18d197f398b0e4206cea9acf9c197"},
      {"std_msgs/msg/Header", "f49fb3ae2cf070f793645ff749683ac6b06203e41c891e17701b1cb597ce6a01"},
      {"std_msgs/msg/Float64", "705ba9c3d1a09df43737eb67095534de36fd426c0587779bda2bc51fe790182a"},
      {"std_msgs/msg/Int32", "b6578ded3c58c626cfe8d1a6fb6e04f706f97e9f03d2727c9ff4e74b1cef0deb"},
      {"std_msgs/msg/String", "df668c740482bbd48fb39d76a70dfd4bd59db1288021743503259e948f6b1a18"},
      {"std_msgs/msg/MultiArrayDimension",
       "5e773a60a4c7fc8a54985f307c7837aa2994252a126c301957a24e31282c9cbe"},
      {"std_msgs/msg/MultiArrayLayout", "4c66e6f78e740ac103a94cf63259f968e48c617e7699e829b63c21a5cb50dac6"},
      {"std_msgs/msg/Float64MultiArray", "1025ddc6b9552d191f89ef1a8d2f60f3d373e28b283d8891ddcc974e8c55397f"},
      {"sensor_msgs/msg/Range", "b42b62562e93cbfe9d42b82fe5994dfa3d63d7d5c90a317981703f7388adff3a"},
      {"sensor_msgs/msg/CompressedImage", "15640771531571185e2efc8a100baf923961a4d15d5569652e6cb6691e8e371a"},
      {"sensor_msgs/msg/Image", "d31d41a9a4c4bc8eae9be757b0beed306564f7526c88ea6a4588fb9582527d47"},
      {"sensor_msgs/msg/JointState", "a13ee3a330e346c9d87b5aa18d24e11690752bd33a0350f11c5882bc9179260e"},
      {"sensor_msgs/msg/BatteryState", "4bee5dfce981c98faa6828b868307a0a73f992ed0789f374ee96c8f840e69741"},
      {"sensor_msgs/msg/Temperature", "72514a14126ab9f8a9abec974c78e5610a367b59db5da355ff1fb982d5bad4b8"},
      {"diagnostic_msgs/msg/KeyValue", "d68081eaa540288c5440753baecef0c4e16e81a5f78ad68902ded5100413bb42"},
      {"diagnostic_msgs/msg/DiagnosticStatus",
       "b0e3e692ea2d54a8af2f4ef1930e81556a2db55216b771f8a7d2724ed47bf0e4"},
      {"geometry_msgs/msg/Vector3", "cc12fe83e4c02719f1ce8070bfd14aecd40f75a96696a67a2a1f37f7dbb0765d"},
      {"geometry_msgs/msg/Twist", "9c45bf16fe0983d80e3cfe750d6835843d265a9a6c46bd2e609fcddde6fb8d2a"},
      {"rmw_dds_common/msg/Gid", "ab6f21cfbb0a6dbb837161e1110c2051a2850ed9f9c53944d7115d9bcebedf71"},
      {"rmw_dds_common/msg/NodeEntitiesInfo",
       "8ffef65ee2d088c63b1e8fcd31e800ba9fc8dbe0ee15ca60d1676de5218087a7"},
      {"sensor_msgs/msg/Unknown", nullptr},
  };
  for (const HashCase& c : cases) {
    EXPECT_EQ(ros2::TypeHash(c.ros_type), c.hash == nullptr ? "" : std::string("RIHS01_") + c.hash)
        << c.ros_type;
  }
  // Every type the table knows hashes (its references are all in the table too).
  for (const std::string& type : ros2::KnownTypes()) EXPECT_EQ(ros2::TypeHash(type).size(), 71u) << type;
}

std::string UserData(const dds_qos_t* qos) {
  void* value = nullptr;
  size_t size = 0;
  if (!dds_qget_userdata(qos, &value, &size)) return "";
  std::string text(static_cast<const char*>(value), size);
  dds_free(value);
  return text;
}

TEST(Ros2Interop, EndpointQosAsRos2SetsIt) {
  struct QosCase {
    ros2::QosProfile profile;
    Distribution distribution;
    int32_t depth;
    dds_reliability_kind_t reliability;
    std::string user_data;
  };
  const std::string typehash =
      "typehash=RIHS01_ab6f21cfbb0a6dbb837161e1110c2051a2850ed9f9c53944d7115d9bcebedf71;";
  const std::vector<QosCase> cases = {
      {ros2::QosProfile::kSensorData, Distribution::kJazzy, 5, DDS_RELIABILITY_BEST_EFFORT, typehash},
      {ros2::QosProfile::kDefault, Distribution::kJazzy, 10, DDS_RELIABILITY_RELIABLE, typehash},
      {ros2::QosProfile::kSensorData, Distribution::kHumble, 5, DDS_RELIABILITY_BEST_EFFORT, ""},
      {ros2::QosProfile::kDefault, Distribution::kHumble, 10, DDS_RELIABILITY_RELIABLE, ""},
  };
  ros2::Entity participant(ros2::MakeParticipant(PrivateDomain(0), Distribution::kJazzy));
  ASSERT_TRUE(participant.valid());
  dds_qos_t* participant_qos = dds_create_qos();
  ASSERT_EQ(dds_get_qos(participant.get(), participant_qos), DDS_RETCODE_OK);
  EXPECT_EQ(UserData(participant_qos), "enclave=/;");
  dds_delete_qos(participant_qos);
  const dds_topic_descriptor_t descriptor =
      ros2::RenamedDescriptor(rmw_dds_common_msg_dds__Gid__desc, "rmw_dds_common::msg::dds_::Gid_");
  const dds_entity_t topic =
      dds_create_topic(participant.get(), &descriptor, "rt/qos_check", nullptr, nullptr);
  ASSERT_GT(topic, 0);
  for (const QosCase& c : cases) {
    dds_qos_t* made = ros2::MakeEndpointQos(c.profile, "rmw_dds_common/msg/Gid", c.distribution);
    ASSERT_NE(made, nullptr);
    ros2::Entity writer(dds_create_writer(participant.get(), topic, made, nullptr));
    dds_delete_qos(made);
    ASSERT_TRUE(writer.valid());
    dds_qos_t* qos = dds_create_qos();
    ASSERT_EQ(dds_get_qos(writer.get(), qos), DDS_RETCODE_OK);
    dds_history_kind_t history;
    int32_t depth = 0;
    dds_reliability_kind_t reliability;
    dds_duration_t blocking;
    dds_durability_kind_t durability;
    bool autodispose = true;
    uint32_t representations = 0;
    dds_data_representation_id_t* ids = nullptr;
    EXPECT_TRUE(dds_qget_history(qos, &history, &depth));
    EXPECT_EQ(history, DDS_HISTORY_KEEP_LAST);
    EXPECT_EQ(depth, c.depth);
    EXPECT_TRUE(dds_qget_reliability(qos, &reliability, &blocking));
    EXPECT_EQ(reliability, c.reliability);
    EXPECT_TRUE(dds_qget_durability(qos, &durability));
    EXPECT_EQ(durability, DDS_DURABILITY_VOLATILE);
    EXPECT_TRUE(dds_qget_writer_data_lifecycle(qos, &autodispose));
    EXPECT_FALSE(autodispose);
    EXPECT_TRUE(dds_qget_data_representation(qos, &representations, &ids));
    ASSERT_EQ(representations, 1u);
    EXPECT_EQ(ids[0], DDS_DATA_REPRESENTATION_XCDR1);
    dds_free(ids);
    EXPECT_EQ(UserData(qos), c.user_data);
    dds_delete_qos(qos);
  }
  // Jazzy's hash is the type's: a type the table does not know gets no QoS rather than a wrong hash.
  EXPECT_EQ(ros2::MakeEndpointQos(ros2::QosProfile::kDefault, "pkg/msg/Unknown", Distribution::kJazzy),
            nullptr);
}

// ros_discovery_info as a ROS 2 peer reads it: the CDR bytes, field by field.
struct NodeInfo {
  std::string ns, name;
  std::vector<Bytes> readers, writers;
};
struct ParticipantInfo {
  Bytes gid;
  std::vector<NodeInfo> nodes;
};

class CdrReader {
 public:
  CdrReader(const Bytes& bytes, size_t gid_size) : bytes_(bytes), gid_size_(gid_size) {}

  std::optional<ParticipantInfo> Read() {
    // Encapsulation: plain CDR, little-endian (XCDR1), no options.
    if (bytes_.size() < 4 || bytes_[0] != 0x00 || bytes_[1] != 0x01) return std::nullopt;
    ParticipantInfo info;
    uint32_t nodes = 0;
    if (!Gid(info.gid) || !Count(nodes)) return std::nullopt;
    for (uint32_t i = 0; i < nodes; ++i) {
      NodeInfo node;
      if (!String(node.ns) || !String(node.name) || !Gids(node.readers) || !Gids(node.writers)) {
        return std::nullopt;
      }
      info.nodes.push_back(node);
    }
    return pos_ == bytes_.size() ? std::optional(info) : std::nullopt;
  }

 private:
  bool Count(uint32_t& value) {
    pos_ = 4 + (pos_ - 4 + 3) / 4 * 4;  // aligned from the start of the data
    if (pos_ + 4 > bytes_.size()) return false;
    value = static_cast<uint32_t>(bytes_[pos_] | bytes_[pos_ + 1] << 8 | bytes_[pos_ + 2] << 16 |
                                  static_cast<uint32_t>(bytes_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool Gid(Bytes& gid) {
    if (pos_ + gid_size_ > bytes_.size()) return false;
    gid.assign(bytes_.begin() + static_cast<long>(pos_),
               bytes_.begin() + static_cast<long>(pos_ + gid_size_));
    pos_ += gid_size_;
    return true;
  }
  bool Gids(std::vector<Bytes>& gids) {
    uint32_t count = 0;
    if (!Count(count)) return false;
    gids.resize(count);
    for (Bytes& gid : gids) {
      if (!Gid(gid)) return false;
    }
    return true;
  }
  bool String(std::string& text) {
    uint32_t length = 0;  // with its terminating zero
    if (!Count(length) || length == 0 || pos_ + length > bytes_.size() || bytes_[pos_ + length - 1] != 0) {
      return false;
    }
    text.assign(reinterpret_cast<const char*>(&bytes_[pos_]), length - 1);
    pos_ += length;
    return true;
  }

  const Bytes& bytes_;
  const size_t gid_size_;
  size_t pos_ = 4;
};

// Takes what arrived on ros_discovery_info; the last announcement read, if any.
std::optional<ParticipantInfo> TakeAnnouncement(dds_entity_t reader, size_t gid_size) {
  std::optional<ParticipantInfo> last;
  struct ddsi_serdata* data = nullptr;
  dds_sample_info_t info;
  while (dds_takecdr(reader, &data, 1, &info, DDS_ANY_STATE) == 1) {
    if (info.valid_data) {
      Bytes bytes(ddsi_serdata_size(data));
      ddsi_serdata_to_ser(data, 0, bytes.size(), bytes.data());
      last = CdrReader(bytes, gid_size).Read();
      EXPECT_TRUE(last.has_value()) << "announcement not in the expected layout";
    }
    ddsi_serdata_unref(data);
  }
  return last;
}

// The QoS discovery shows for the first writer `matches` picks (caller frees it), or null while
// discovery has not shown one.
template <typename Match>
dds_qos_t* DiscoveredQos(dds_entity_t publications, const Match& matches) {
  void* samples[32] = {};
  dds_sample_info_t infos[32];
  const int32_t n = dds_read(publications, samples, infos, 32, 32);
  dds_qos_t* found = nullptr;
  for (int32_t i = 0; i < n && found == nullptr; ++i) {
    const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
    if (infos[i].valid_data && matches(*endpoint)) {
      found = dds_create_qos();
      dds_copy_qos(found, endpoint->qos);
    }
  }
  if (n > 0) dds_return_loan(publications, samples, n);
  return found;
}

TEST(Ros2Interop, NodeAnnouncedOnRosDiscoveryInfo) {
  struct Case {
    Distribution distribution;
    size_t gid_size;
    const dds_topic_descriptor_t* gid_descriptor;
    const dds_topic_descriptor_t* info_descriptor;
  };
  const std::vector<Case> cases = {
      {Distribution::kHumble, 24, &humble_rmw_dds_common_msg_dds__Gid__desc,
       &humble_rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc},
      {Distribution::kJazzy, 16, &rmw_dds_common_msg_dds__Gid__desc,
       &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc},
  };
  int offset = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.gid_size);
    const dds_domainid_t domain = PrivateDomain(++offset);
    ros2::Entity robot(ros2::MakeParticipant(domain, c.distribution));
    ros2::Entity peer(dds_create_participant(domain, nullptr, nullptr));
    ASSERT_TRUE(robot.valid());
    ASSERT_TRUE(peer.valid());

    // The node's endpoints: two writers and a reader of a Gid topic (a type with its own layout).
    const dds_topic_descriptor_t gid_descriptor =
        ros2::RenamedDescriptor(*c.gid_descriptor, "rmw_dds_common::msg::dds_::Gid_");
    const dds_entity_t topic =
        dds_create_topic(robot.get(), &gid_descriptor, "rt/robot1/gids", nullptr, nullptr);
    ASSERT_GT(topic, 0);
    dds_qos_t* sensor =
        ros2::MakeEndpointQos(ros2::QosProfile::kSensorData, "rmw_dds_common/msg/Gid", c.distribution);
    dds_qos_t* reliable =
        ros2::MakeEndpointQos(ros2::QosProfile::kDefault, "rmw_dds_common/msg/Gid", c.distribution);
    ros2::Entity writer1(dds_create_writer(robot.get(), topic, sensor, nullptr));
    ros2::Entity writer2(dds_create_writer(robot.get(), topic, reliable, nullptr));
    ros2::Entity reader(dds_create_reader(robot.get(), topic, reliable, nullptr));
    dds_delete_qos(sensor);
    dds_delete_qos(reliable);
    ASSERT_TRUE(writer1.valid() && writer2.valid() && reader.valid());

    std::optional<ros2::CNodeAnnouncer> announcer(std::in_place);
    ASSERT_TRUE(announcer->Start(robot.get(), "robot1/", "trevask_bridge", c.distribution));
    announcer->AddWriter(writer1.get());
    announcer->AddWriter(writer2.get());
    announcer->AddReader(reader.get());
    ASSERT_TRUE(announcer->Announce());

    // The peer comes after the announcement: the writer keeps it for late readers.
    const dds_topic_descriptor_t info_descriptor =
        ros2::RenamedDescriptor(*c.info_descriptor, "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_");
    const dds_entity_t info_topic =
        dds_create_topic(peer.get(), &info_descriptor, "ros_discovery_info", nullptr, nullptr);
    ASSERT_GT(info_topic, 0);
    dds_qos_t* late = dds_create_qos();
    dds_qset_reliability(late, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
    dds_qset_durability(late, DDS_DURABILITY_TRANSIENT_LOCAL);
    ros2::Entity info_reader(dds_create_reader(peer.get(), info_topic, late, nullptr));
    dds_delete_qos(late);
    ASSERT_TRUE(info_reader.valid());

    std::optional<ParticipantInfo> seen;
    ASSERT_TRUE(testing_support::WaitUntil([&] {
      if (auto taken = TakeAnnouncement(info_reader.get(), c.gid_size)) seen = taken;
      return seen.has_value() && !seen->nodes.empty();
    }));
    EXPECT_EQ(seen->gid, GuidBytes(robot.get(), c.gid_size));
    ASSERT_EQ(seen->nodes.size(), 1u);
    EXPECT_EQ(seen->nodes[0].ns, "/robot1");
    EXPECT_EQ(seen->nodes[0].name, "trevask_bridge");
    EXPECT_EQ(seen->nodes[0].writers, (std::vector<Bytes>{GuidBytes(writer1.get(), c.gid_size),
                                                          GuidBytes(writer2.get(), c.gid_size)}));
    EXPECT_EQ(seen->nodes[0].readers, std::vector<Bytes>{GuidBytes(reader.get(), c.gid_size)});

    // What discovery shows of the writers: the type hash from Iron on, nothing in Humble; the
    // announcement kept for late peers.
    ros2::Entity publications(
        dds_create_reader(peer.get(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr));
    ASSERT_TRUE(publications.valid());
    dds_guid_t writer_guid, robot_guid;
    ASSERT_EQ(dds_get_guid(writer1.get(), &writer_guid), DDS_RETCODE_OK);
    ASSERT_EQ(dds_get_guid(robot.get(), &robot_guid), DDS_RETCODE_OK);
    dds_qos_t* data_qos = nullptr;
    dds_qos_t* info_qos = nullptr;
    ASSERT_TRUE(testing_support::WaitUntil([&] {
      if (data_qos == nullptr) {
        data_qos = DiscoveredQos(publications.get(), [&](const dds_builtintopic_endpoint_t& e) {
          return std::memcmp(&e.key, &writer_guid, sizeof writer_guid) == 0;
        });
      }
      if (info_qos == nullptr) {
        info_qos = DiscoveredQos(publications.get(), [&](const dds_builtintopic_endpoint_t& e) {
          return std::memcmp(&e.participant_key, &robot_guid, sizeof robot_guid) == 0 &&
                 std::string(e.topic_name) == "ros_discovery_info" &&
                 std::string(e.type_name) == "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_";
        });
      }
      return data_qos != nullptr && info_qos != nullptr;
    }));
    const bool hashed = c.distribution == Distribution::kJazzy;
    EXPECT_EQ(UserData(data_qos), hashed ? "typehash=" + ros2::TypeHash("rmw_dds_common/msg/Gid") + ";" : "");
    EXPECT_EQ(UserData(info_qos),
              hashed ? "typehash=" + ros2::TypeHash("rmw_dds_common/msg/ParticipantEntitiesInfo") + ";" : "");
    dds_durability_kind_t durability;
    dds_reliability_kind_t reliability;
    dds_duration_t blocking;
    EXPECT_TRUE(dds_qget_durability(info_qos, &durability));
    EXPECT_EQ(durability, DDS_DURABILITY_TRANSIENT_LOCAL);
    EXPECT_TRUE(dds_qget_reliability(info_qos, &reliability, &blocking));
    EXPECT_EQ(reliability, DDS_RELIABILITY_RELIABLE);
    dds_delete_qos(data_qos);
    dds_delete_qos(info_qos);

    // Gone with the announcer: the participant is announced without the node.
    announcer.reset();
    ASSERT_TRUE(testing_support::WaitUntil([&] {
      if (auto taken = TakeAnnouncement(info_reader.get(), c.gid_size)) seen = taken;
      return seen->nodes.empty();
    }));
    EXPECT_EQ(seen->gid, GuidBytes(robot.get(), c.gid_size));
  }
}

}  // namespace
