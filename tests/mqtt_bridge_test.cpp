// trevask-mqtt between a real mosquitto broker, configured by deploy/mosquitto/make-config.sh, and a
// relay linked to the simulated robot: what subscribers see, what calls do, who may call, and what
// the bridge does when the broker goes away or it dies itself.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "clients/mqtt_bridge/bridge_options.h"
#include "exchange/protocol.h"
#include "exchange/sensor_records.h"
#include "link_test_support.h"
#include "mqtt_test_support.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"

namespace {

using nlohmann::json;
using testing_support::Broker;
using testing_support::ChildProcess;
using testing_support::Message;
using testing_support::Subscriber;
using testing_support::WaitUntil;

json Parse(const std::string& text) {
  return json::parse(text, nullptr, false);
}

std::vector<uint8_t> FromBase64(const std::string& text) {
  std::vector<uint8_t> out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const char* at = std::strchr(alphabet, c);
    if (c == '=' || at == nullptr) break;
    bits = (bits << 6) | static_cast<uint32_t>(at - alphabet);
    if ((count += 6) >= 8) out.push_back(static_cast<uint8_t>(bits >> (count -= 8)));
  }
  return out;
}

class BridgedRobot : public testing_support::LinkedRobotFixture {
 protected:
  void SetUp() override {
    robot_name_ = "mq" + std::to_string(getpid()) +
                  std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 6);
    Connect(robot_name_, sim_options_);
    broker_ = std::make_unique<Broker>(DEPLOY_DIR, robot_name_, 0, "", callers_);
    ASSERT_TRUE(broker_->ok());
    StartBridge("bridge-pw", bridge_args_);
    op_ = std::make_unique<Subscriber>(broker_->port(), "operator", "operator-pw", "op-" + robot_name_);
    ASSERT_EQ(op_->WaitConnected(), 0);
    ASSERT_TRUE(op_->Subscribe(Topic("#")));
    ASSERT_FALSE(WaitForLink("up").topic.empty()) << bridge_->err();
  }
  void TearDown() override {
    op_.reset();
    if (bridge_) {
      bridge_->Signal(SIGTERM);  // it lets go of the sections it opened on its way out
      bridge_->Wait(10000);
    }
    bridge_.reset();
    if (!files_dir_.empty()) std::system(("rm -rf " + files_dir_).c_str());
    LinkedRobotFixture::TearDown();
  }
  void StartBridge(const std::string& password, const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv = {
        MQTT_BRIDGE_BIN, robot_name_, "--broker",
        "mqtt://bridge:" + password + "@127.0.0.1:" + std::to_string(broker_->port())};
    argv.insert(argv.end(), more.begin(), more.end());
    bridge_ = std::make_unique<ChildProcess>(argv);
  }
  std::string Topic(const std::string& sub) const { return "talvenor/" + robot_name_ + "/" + sub; }
  // Stops the bridge and starts it again with `args`; waits until the new one says the link is up.
  void RestartBridge(const std::vector<std::string>& args) {
    bridge_->Signal(SIGTERM);
    ASSERT_EQ(bridge_->Wait(10000), 0);
    auto ups = [&] {
      std::size_t n = 0;
      for (const Message& m : op_->On(Topic("link"))) n += m.payload.find("\"up\"") != std::string::npos;
      return n;
    };
    const std::size_t ups_before = ups();
    StartBridge("bridge-pw", args);
    ASSERT_TRUE(WaitUntil([&] { return ups() > ups_before; })) << "the new bridge says the link is up";
  }
  // A fresh files folder holding tone.wav (removed by TearDown).
  std::string FilesFolder() {
    files_dir_ = "/tmp/trevask-bridge-files-" + std::to_string(getpid());
    EXPECT_EQ(std::system(("rm -rf " + files_dir_ + " && mkdir -p " + files_dir_).c_str()), 0);
    WriteTone(files_dir_ + "/tone.wav");
    return files_dir_;
  }
  // One second of a 16-bit mono tone at 8000 Hz.
  static void WriteTone(const std::string& path) {
    std::ofstream wav(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { wav.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { wav.write(reinterpret_cast<const char*>(&v), 2); };
    wav.write("RIFF", 4), u32(36 + 16000), wav.write("WAVEfmt ", 8), u32(16), u16(1), u16(1), u32(8000);
    u32(16000), u16(2), u16(16), wav.write("data", 4), u32(16000);
    for (int i = 0; i < 8000; ++i) u16(static_cast<uint16_t>((i % 40) * 500));
  }
  Message WaitForLink(const std::string& state, Subscriber* who = nullptr) {
    return (who ? who : op_.get())->WaitForMessage(Topic("link"), [&](const Message& m) {
      const json j = Parse(m.payload);
      return j.is_object() && j.value("state", "") == state;
    });
  }
  // Calls `method` as the operator and waits for the reply.
  json Call(const std::string& id, const std::string& method, const json& args) {
    op_->Publish(Topic("call"), json{{"id", id}, {"method", method}, {"args", args}}.dump());
    return Parse(op_->WaitForMessage(Topic("reply/" + id), [](const Message&) { return true; }).payload);
  }
  std::vector<std::vector<uint8_t>> RobotFramesOfType(uint8_t type) {
    std::vector<std::vector<uint8_t>> out;
    for (auto& f : sim_->robot().ReceivedFrames())
      if (f.size() > exchange::kOffDataType && f[exchange::kOffDataType] == type) out.push_back(f);
    return out;
  }

  sim::SimOptions sim_options_;
  std::vector<std::string> bridge_args_;
  std::string robot_name_;
  std::string files_dir_;
  int callers_ = 0;  // operators caller0, caller1, ... besides operator and operator2
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<ChildProcess> bridge_;
  std::unique_ptr<Subscriber> op_;
};

TEST_F(BridgedRobot, ReadingsArriveAsNamedFieldsOfTheRawRecordAndPicturesAsJpeg) {
  EXPECT_TRUE(WaitForLink("up").retained || !op_->On(Topic("link")).empty());
  EXPECT_EQ(Call("1", "EnableAllSensorSending", json::array()), (json{{"id", "1"}, {"result", nullptr}}));
  const Message standard =
      op_->WaitForMessage(Topic("sensors/standard"), [](const Message&) { return true; });
  const json reading = Parse(standard.payload);
  ASSERT_TRUE(reading.is_object()) << standard.payload;
  // Every field of its own of the record table, under the name the Python readings use, each read
  // as the getters read it, and the raw record.
  std::set<std::string> keys, names = {"raw"};
  for (auto it = reading.begin(); it != reading.end(); ++it) keys.insert(it.key());
  const std::vector<uint8_t> raw = FromBase64(reading["raw"].get<std::string>());
  ASSERT_GE(raw.size(), exchange::RecordInfo(exchange::SensorRecord::kStandard).size);
  for (const exchange::SensorField& f : exchange::kSensorFields) {
    if (f.record != exchange::SensorRecord::kStandard || !exchange::OwnField(f)) continue;
    names.insert(std::string(f.name));
    EXPECT_EQ(reading[std::string(f.name)], exchange::ReadField(f, raw.data(), raw.size())) << f.name;
  }
  EXPECT_EQ(keys, names);
  EXPECT_EQ(reading["temperature"], static_cast<int16_t>(raw[22] | raw[23] << 8))
      << "a signed word, low byte first";
  const Message motor = op_->WaitForMessage(Topic("sensors/motor"), [](const Message&) { return true; });
  EXPECT_TRUE(Parse(motor.payload).contains("encoder_speed2"));

  EXPECT_EQ(Call("photo", "TakePhoto", json::array())["result"], nullptr);
  const Message picture = op_->WaitForMessage(Topic("camera"), [](const Message&) { return true; });
  ASSERT_GT(picture.payload.size(), 4u);
  EXPECT_EQ(picture.payload.substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(picture.payload.substr(picture.payload.size() - 2), "\xFF\xD9");
  const json info =
      Parse(op_->WaitForMessage(Topic("camera/info"), [](const Message&) { return true; }).payload);
  EXPECT_EQ(info["width"], 176);
  EXPECT_EQ(info["height"], 144);
  EXPECT_EQ(info["bytes"], picture.payload.size());
}

TEST_F(BridgedRobot, VoiceSegmentsArriveAsWavFiles) {
  EXPECT_EQ(Call("rec", "StartRecord", {1})["result"], nullptr);
  const Message voice = op_->WaitForMessage(Topic("voice"), [](const Message&) { return true; });
  Call("stop", "StopRecord", json::array());
  const std::string& wav = voice.payload;
  ASSERT_GT(wav.size(), 44u);
  EXPECT_EQ(wav.substr(0, 4), "RIFF");
  EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
  auto u32 = [&](std::size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(wav[at]) | static_cast<uint8_t>(wav[at + 1]) << 8 |
                                 static_cast<uint8_t>(wav[at + 2]) << 16 |
                                 static_cast<uint32_t>(static_cast<uint8_t>(wav[at + 3])) << 24);
  };
  EXPECT_EQ(u32(24), 8000u) << "samples per second";
  EXPECT_EQ(wav.substr(36, 4), "data");
  EXPECT_EQ(u32(40), wav.size() - 44) << "the data chunk holds the whole segment";
  EXPECT_EQ(u32(40), 4096u) << "one segment of 4096 bytes";
}

// A robot whose camera sends pictures on its own, faster than the control takes them.
class BridgedCamera : public BridgedRobot {
 protected:
  void SetUp() override {
    sim_options_.camera_period_ms = 20;
    BridgedRobot::SetUp();
  }
};

TEST_F(BridgedCamera, PicturesKeepComingOneAfterAnother) {
  // Each picture is sent before the next is taken; none may stay "on its way" for ever. (Each takes
  // a robot's encoding, the control's decoding and the bridge's encoding: over a second apiece on
  // an emulated processor.)
  ASSERT_TRUE(WaitUntil([&] { return op_->Count(Topic("camera")) >= 10; }, 40000))
      << op_->Count(Topic("camera"));
  const std::vector<Message> info = op_->On(Topic("camera/info"));
  ASSERT_GE(info.size(), 2u);
  EXPECT_LT(Parse(info.front().payload)["sequence"], Parse(info.back().payload)["sequence"]);
}

// A robot sending numbered standard records every 20 ms to a bridge that may publish 2 a second.
class RateCappedBridge : public BridgedRobot {
 protected:
  void SetUp() override {
    sim_options_.numbered = true;
    sim_options_.default_period_ms = 20;
    bridge_args_ = {"--max-sensor-rate", "2"};
    BridgedRobot::SetUp();
  }
};

TEST_F(RateCappedBridge, SensorRecordsArePublishedNoMoreOftenThanTheCapAllows) {
  Call("on", "EnableAllSensorSending", json::array());
  ASSERT_TRUE(WaitUntil([&] { return op_->Count(Topic("sensors/standard")) >= 9; }))
      << op_->Count(Topic("sensors/standard"));
  // The robot numbers its records, one every 20 ms; at 2 a second the bridge skips about 24 between
  // two it publishes (uncapped, it would skip about one). A robot held up sends fewer, so only the
  // typical gap is held to a bound, and a loose one.
  std::vector<uint32_t> numbers;
  for (const Message& m : op_->On(Topic("sensors/standard"))) {
    const std::vector<uint8_t> raw = FromBase64(Parse(m.payload).value("raw", ""));
    ASSERT_GE(raw.size(), 4u);
    numbers.push_back(static_cast<uint32_t>(raw[0] | raw[1] << 8 | raw[2] << 16 | raw[3] << 24));
  }
  std::vector<uint32_t> gaps;
  for (std::size_t i = 1; i < numbers.size(); ++i) {
    ASSERT_GT(numbers[i], numbers[i - 1]) << "published in the robot's order";
    gaps.push_back(numbers[i] - numbers[i - 1]);
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GE(gaps[gaps.size() / 2], 8u) << "median gap between published record numbers";
}

TEST_F(BridgedRobot, CallsReachTheRobotAsTheFramesTheControlMakes) {
  EXPECT_EQ(Call("m", "DcMotorPwmNonTimeCtr", {3, -300}), (json{{"id", "m"}, {"result", nullptr}}));
  EXPECT_EQ(Call("s", "EnableServo", {3})["result"], nullptr);
  ASSERT_TRUE(
      WaitUntil([&] { return !RobotFramesOfType(0x05).empty() && !RobotFramesOfType(0x1E).empty(); }));
  const auto pwm = RobotFramesOfType(0x05).front();
  EXPECT_EQ(
      std::vector<uint8_t>(pwm.begin() + exchange::kOffPayload, pwm.begin() + exchange::kOffPayload + 3),
      (std::vector<uint8_t>{0x03, 0xD4, 0xFE}));
  const auto servo = RobotFramesOfType(0x1E).front();
  EXPECT_EQ(
      std::vector<uint8_t>(servo.begin() + exchange::kOffPayload, servo.begin() + exchange::kOffPayload + 2),
      (std::vector<uint8_t>{0x01, 0x09}));
  // A property reads with no argument and is set with one; ids may be numbers.
  op_->Publish(Topic("call"), R"({"id": 42, "method": "VoiceSegmentLength", "args": [3]})");
  EXPECT_EQ(Parse(op_->WaitForMessage(Topic("reply/42"), [](const Message&) { return true; }).payload),
            (json{{"id", 42}, {"result", nullptr}}));
  EXPECT_EQ(Call("p", "voicesegmentlength", json::array())["result"], 3) << "names are matched without case";
}

TEST_F(BridgedRobot, BadCallsAreAnsweredWithAReasonAndTheBridgeGoesOnServing) {
  struct Case {
    std::string payload;
    std::string reply_topic;
    std::string reason;
  } cases[] = {
      {"not json", "errors", "not a JSON object"},
      {"[1, 2]", "errors", "not a JSON object"},
      {R"({"method": "TakePhoto"})", "errors", "needs an \"id\""},
      {R"({"id": "a/b", "method": "TakePhoto"})", "errors", "needs an \"id\""},
      {R"({"id": "u", "method": "NoSuchMethod"})", "reply/u",
       "no method or property is named 'NoSuchMethod'"},
      {R"({"id": "n", "method": "DcMotorPwmNonTimeCtr", "args": [1]})", "reply/n",
       "takes 2 argument(s), not 1"},
      {R"({"id": "t", "method": "DcMotorPwmNonTimeCtr", "args": [1, 2.5]})", "reply/t", "argument 2 must be"},
      {R"({"id": "o", "method": "DcMotorPwmNonTimeCtr", "args": [1, 70000]})", "reply/o",
       "outside -32768..32767"},
      {R"({"id": "ch", "method": "DcMotorPwmNonTimeCtr", "args": [300, 100]})", "reply/ch",
       "argument 1 (channel) is 300, outside 0..5: DC motor channel"},
      {R"({"id": "s", "method": "DcMotorPwmNonTimeCtr", "args": "x"})", "reply/s", "\"args\" must be a list"},
      {R"({"id": "b", "method": "GetVoiceData", "args": [0]})", "reply/b", "subscribe to the voice topic"},
      {R"({"id": "d", "method": "GetImageAddress"})", "reply/d", "returns an address"},
      {R"({"id": "c", "method": "connectRobot", "args": ["other"]})", "reply/c", "serves robot"},
      {R"({"id": "w", "method": "SavePhotoAsBMP", "args": ["/tmp/x.bmp"]})", "reply/w", "writes a file"},
      {R"({"id": "f", "method": "PlayAudioFile", "args": ["/etc/passwd"]})", "reply/f", "--files-dir"},
      {R"({"id": "l", "method": "LcdDisplayVCS", "args": ["x.bmp"]})", "reply/l", "--files-dir"},
      {R"({"id": "big", "method": "TakePhoto", "pad": ")" + std::string(5000, 'x') + "\"}", "errors",
       "at most 4096"},
  };
  for (const Case& c : cases) {
    const std::size_t before = op_->On(Topic(c.reply_topic)).size();
    op_->Publish(Topic("call"), c.payload);
    ASSERT_TRUE(WaitUntil([&] { return op_->On(Topic(c.reply_topic)).size() > before; }))
        << c.payload.substr(0, 80);
    const json reply = Parse(op_->On(Topic(c.reply_topic)).back().payload);
    ASSERT_TRUE(reply.contains("error")) << reply.dump();
    EXPECT_NE(reply["error"]["message"].get<std::string>().find(c.reason), std::string::npos) << reply.dump();
    EXPECT_NE(reply["error"]["code"], 0);
  }
  EXPECT_TRUE(RobotFramesOfType(0x05).empty()) << "no faulty call sent anything";
  EXPECT_TRUE(Call("ok", "GetSensorSonar1", json::array())["result"].is_number_integer());
}

TEST_F(BridgedRobot, FilesAreRegularFilesNamedInsideTheFilesFolderOnly) {
  const std::string dir = FilesFolder();
  ASSERT_EQ(mkfifo((dir + "/pipe.bmp").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/dev/zero", (dir + "/zero.bmp").c_str()), 0);
  ASSERT_EQ(symlink((dir + "/tone.wav").c_str(), (dir + "/again.wav").c_str()), 0);
  RestartBridge({"--files-dir", dir});

  const struct {
    const char* method;
    std::string name;
    const char* reason;
  } refused[] = {
      {"PlayAudioFile", "../tone.wav", "without '/'"},
      {"PlayAudioFile", ".tone.wav", "without '/'"},
      {"LcdDisplayVCS", "pipe.bmp", "not a regular file"},  // never waits for a writer
      {"LcdDisplayVCB", "zero.bmp", "is a link"},           // nor reads a device behind a link
      {"PlayAudioFile", "again.wav", "is a link"},          // nor any link, even one that stays inside
      {"PlayAudioFile", "toneEOF", "\"EOF\""},              // would go on with the last sound
      {"PlayAudioFile", "tone\nwav", "control characters"},
      {"PlayAudioFile", "missing.wav", "cannot be opened"},
  };
  int n = 0;
  for (const auto& c : refused) {
    const json reply = Call("bad" + std::to_string(n++), c.method, {c.name});
    ASSERT_TRUE(reply.contains("error")) << c.name << ": " << reply.dump();
    EXPECT_NE(reply["error"]["message"].get<std::string>().find(c.reason), std::string::npos) << reply.dump();
  }
  EXPECT_TRUE(RobotFramesOfType(exchange::kTypeLcdPicture).empty());
  EXPECT_EQ(Call("ok", "PlayAudioFile", {"tone.wav"})["result"], nullptr);
  ASSERT_TRUE(WaitUntil([&] { return !RobotFramesOfType(exchange::kTypeAudioAnnouncement).empty(); }))
      << "the relay found the file in the folder and announced it";
}

// A caller who may write the files folder swaps the file it names for a link to a file outside,
// and back, over and over, while its calls go through. The bridge checks the file itself; the relay,
// which opens it again by its path, must never read the link's target (inotify hears every open of
// it), whether it reads with its own rights or on behalf of a group.
TEST_F(BridgedRobot, TheRelayNeverReadsALinkSwappedInAfterTheBridgesCheck) {
  const std::string dir = FilesFolder();
  const std::string secret = "/tmp/trevask-secret-" + std::to_string(getpid()) + ".wav";
  WriteTone(secret);  // a sound the relay would play, standing in for a file nobody may have read
  ASSERT_EQ(rename((dir + "/tone.wav").c_str(), (dir + "/swapped.wav").c_str()), 0);
  ASSERT_EQ(symlink(secret.c_str(), (dir + "/spare").c_str()), 0);
  RestartBridge({"--files-dir", dir});
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, secret.c_str(), IN_OPEN | IN_ACCESS), 0);

  const group* own = getgrgid(getegid());
  ASSERT_NE(own, nullptr);
  int accepted = 0, handled_before = 0;
  for (const bool for_group : {false, true}) {
    if (for_group) {
      const platform::Result shared = platform::ShareWithGroup(own->gr_name);
      ASSERT_TRUE(shared.ok()) << shared.message;
    }
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      const std::string a = dir + "/swapped.wav", b = dir + "/spare";
      while (!stop.load(std::memory_order_relaxed))
        renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
    for (int i = 0; i < 75; ++i) {
      const json reply = Call("swap" + std::to_string(for_group) + "-" + std::to_string(i), "PlayAudioFile",
                              {"swapped.wav"});
      accepted += !reply.contains("error");
    }
    stop = true;
    swapper.join();
    // Each call the bridge passed on is either played (announced to the robot) or refused by the
    // relay with a note.
    auto handled = [&] {
      int n = static_cast<int>(RobotFramesOfType(exchange::kTypeAudioAnnouncement).size());
      for (const std::string& e : ui_->Events()) n += e.rfind("note:the sound file is not played", 0) == 0;
      return n;
    };
    EXPECT_TRUE(WaitUntil([&] { return handled() == accepted; }))
        << handled() - handled_before << " of " << accepted << " calls handled by the relay";
    handled_before = handled();
    if (for_group) platform::StopSharing();
  }
  int opens = 0;
  alignas(inotify_event) char events[4096];
  for (ssize_t n; (n = read(watch, events, sizeof events)) > 0;)
    for (char* at = events; at < events + n;
         at += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(at)->len)
      opens += (reinterpret_cast<inotify_event*>(at)->mask & IN_OPEN) != 0;
  close(watch);
  std::remove(secret.c_str());
  EXPECT_EQ(opens, 0) << "the relay opened the link's target, in " << accepted << " calls passed on";
  EXPECT_GT(accepted, 0);
}

// Anybody with an account could take the bridge's client id and so knock it off the broker.
TEST_F(BridgedRobot, AViewerCannotKnockTheBridgeOffByTakingItsClientId) {
  Subscriber viewer(broker_->port(), "viewer", "viewer-pw", "trevask-mqtt-" + robot_name_);
  ASSERT_EQ(viewer.WaitConnected(), 0);
  EXPECT_EQ(Call("still", "GetSensorSonar1", json::array())["id"], "still");
  bridge_->Wait(1);  // reads what the bridge printed so far
  EXPECT_EQ(bridge_->err().find("connection"), std::string::npos) << bridge_->err();
}

// More callers than the bridge ever had queues for, each with one call, and one caller with a flood,
// all waiting together for a bridge that was held up meanwhile (it finds all of it on its socket, so
// what it answers is exact): every single call is carried out, the flood up to its caller's queue
// in order, and each call beyond that is answered busy. Every call is answered, once.
class ManyCallers : public BridgedRobot {
 protected:
  ManyCallers() { callers_ = 100; }
};

TEST_F(ManyCallers, EveryCallIsAnsweredAndOnlyAFloodBeyondItsCallersQueueIsRefused) {
  constexpr int kFlood = 200, kQueue = 64;
  std::vector<std::unique_ptr<Subscriber>> callers;
  for (int i = 0; i < callers_; ++i) {
    const std::string name = "caller" + std::to_string(i);
    callers.push_back(std::make_unique<Subscriber>(broker_->port(), name, name + "-pw", name + robot_name_));
  }
  for (auto& c : callers) ASSERT_EQ(c->WaitConnected(), 0);
  bridge_->Signal(SIGSTOP);
  long bytes = 0;
  auto call = [&](Subscriber& who, const std::string& topic, const std::string& id) {
    const std::string payload = json{{"id", id}, {"method", "GetSensorSonar1"}}.dump();
    who.Publish(topic, payload);
    bytes += testing_support::PublishBytes(topic, payload);
  };
  for (int i = 0; i < callers_; ++i)
    call(*callers[i], Topic("call/caller" + std::to_string(i)), "c" + std::to_string(i));
  for (int i = 0; i < kFlood; ++i) call(*op_, Topic("call"), "f" + std::to_string(i));
  ASSERT_TRUE(WaitUntil([&] {
    return testing_support::UnreadBytes(bridge_->pid(), broker_->port()) == bytes;
  })) << testing_support::UnreadBytes(bridge_->pid(), broker_->port())
      << " of " << bytes << " bytes of calls on the bridge's socket";
  bridge_->Signal(SIGCONT);

  std::map<std::string, std::vector<json>> replies;  // by id
  ASSERT_TRUE(WaitUntil(
      [&] {
        replies.clear();
        for (const Message& m : op_->All())
          if (m.topic.rfind(Topic("reply/"), 0) == 0)
            replies[m.topic.substr(Topic("reply/").size())].push_back(Parse(m.payload));
        return replies.size() == static_cast<std::size_t>(callers_ + kFlood);
      },
      20000))
      << replies.size() << " of " << callers_ + kFlood << " calls answered";
  for (int i = 0; i < callers_; ++i) {
    const std::vector<json>& r = replies["c" + std::to_string(i)];
    ASSERT_EQ(r.size(), 1u);
    EXPECT_TRUE(r[0].contains("result")) << "a caller's single call is carried out: " << r[0].dump();
  }
  for (int i = 0; i < kFlood; ++i) {
    const std::vector<json>& r = replies["f" + std::to_string(i)];
    ASSERT_EQ(r.size(), 1u);
    if (i < kQueue)
      EXPECT_TRUE(r[0].contains("result")) << i << ": " << r[0].dump();
    else
      EXPECT_EQ(r[0]["error"]["code"], static_cast<int32_t>(0x8001010Au)) << i << ": " << r[0].dump();
  }
  bridge_->Signal(SIGTERM);
  ASSERT_EQ(bridge_->Wait(10000), 0);
  EXPECT_NE(bridge_->err().find(" " + std::to_string(kFlood - kQueue) + " of them busy"), std::string::npos)
      << bridge_->err();
}

TEST_F(BridgedRobot, AViewerReadsButItsCallsNeverReachTheRobot) {
  Subscriber viewer(broker_->port(), "viewer", "viewer-pw", "viewer-" + robot_name_);
  ASSERT_EQ(viewer.WaitConnected(), 0);
  ASSERT_TRUE(viewer.Subscribe(Topic("#")));
  EXPECT_FALSE(WaitForLink("up", &viewer).topic.empty()) << "the retained link state";
  const int call =
      viewer.Publish(Topic("call"), R"({"id": "v", "method": "DcMotorPwmNonTimeCtr", "args": [3, -300]})");
  // Once the broker has acknowledged the viewer's call it has passed it on or dropped it; the
  // operator's call after it reaches the bridge behind it, so by its answer the viewer's would
  // have been answered too.
  ASSERT_TRUE(viewer.WaitAcknowledged(call));
  EXPECT_EQ(Call("after", "GetSensorSonar1", json::array())["id"], "after");
  EXPECT_TRUE(viewer.On(Topic("reply/v")).empty());
  EXPECT_TRUE(RobotFramesOfType(0x05).empty());

  Subscriber stranger(broker_->port(), "viewer", "wrong", "stranger-" + robot_name_);
  EXPECT_EQ(stranger.WaitConnected(), MQTT_RC_NOT_AUTHORIZED);
}

TEST_F(BridgedRobot, AnMqtt5CallerGetsItsReplyOnItsOwnTopicWithItsCorrelationData) {
  mosquitto_property* props = nullptr;
  const std::string mine = Topic("reply/mine/x");
  mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, mine.c_str());
  mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, "c-17", 4);
  op_->Publish(Topic("call"), R"({"id": "r", "method": "GetSensorSonar2"})", props);
  mosquitto_property_free_all(&props);
  const Message reply = op_->WaitForMessage(mine, [](const Message&) { return true; });
  EXPECT_EQ(reply.correlation, "c-17");
  EXPECT_TRUE(Parse(reply.payload)["result"].is_number_integer());
  EXPECT_TRUE(op_->On(Topic("reply/r")).empty());

  // The bridge may write topics its callers may not (this robot's readings, other robots'): a
  // response topic anywhere but under reply/ is refused, and the call is not carried out.
  for (const std::string& elsewhere :
       std::vector<std::string>{Topic("link"), Topic("call"), "talvenor/OTHER/link"}) {
    mosquitto_property* p = nullptr;
    mosquitto_property_add_string(&p, MQTT_PROP_RESPONSE_TOPIC, elsewhere.c_str());
    const std::size_t errors = op_->On(Topic("errors")).size();
    op_->Publish(Topic("call"), R"({"id": "x", "method": "DcMotorPwmNonTimeCtr", "args": [1, 100]})", p);
    mosquitto_property_free_all(&p);
    ASSERT_TRUE(WaitUntil([&] { return op_->On(Topic("errors")).size() > errors; })) << elsewhere;
    EXPECT_NE(op_->On(Topic("errors")).back().payload.find("must lie under"), std::string::npos);
  }
  for (const Message& m : op_->On(Topic("link"))) EXPECT_EQ(m.payload.find("\"id\""), std::string::npos);
  EXPECT_TRUE(RobotFramesOfType(0x05).empty());
}

TEST_F(BridgedRobot, TheBridgeOutlivesTheBrokerAndItsWillSaysWhenItIsGone) {
  op_.reset();
  broker_->Kill();
  ASSERT_TRUE(bridge_->WaitForError("the broker connection")) << "the bridge saw the broker go";
  broker_->Start();
  ASSERT_TRUE(broker_->ok());
  op_ = std::make_unique<Subscriber>(broker_->port(), "operator", "operator-pw", "op2-" + robot_name_);
  ASSERT_EQ(op_->WaitConnected(), 0);
  ASSERT_TRUE(op_->Subscribe(Topic("#")));
  // The restarted broker kept nothing: the link state is there again because the bridge came back.
  ASSERT_FALSE(WaitForLink("up").topic.empty()) << bridge_->err();
  EXPECT_EQ(Call("back", "GetSensorSonar1", json::array())["id"], "back");

  bridge_->Signal(SIGKILL);
  bridge_->Wait(5000);
  EXPECT_FALSE(WaitForLink("no-bridge").topic.empty()) << "the last will";
}

TEST_F(BridgedRobot, AStopSaysNoBridgeAndRefusedCredentialsAreLoggedNotFatal) {
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(10000), 0);
  EXPECT_FALSE(WaitForLink("no-bridge").topic.empty());
  EXPECT_NE(bridge_->err().find("stopped:"), std::string::npos) << bridge_->err();

  StartBridge("not-the-password");
  ASSERT_TRUE(WaitUntil([&] {
    bridge_->Wait(1);  // reads what it printed so far (it keeps running)
    return bridge_->err().find("refused") != std::string::npos;
  }));
  EXPECT_EQ(bridge_->Wait(200), -1) << "still running, trying again later";
}

TEST(BridgeCommandLine, MistakesAreNamed) {
  struct Case {
    std::vector<std::string> args;
    std::string text;
  } cases[] = {
      {{}, "name exactly one robot"},
      {{"r1", "r2"}, "name exactly one robot"},
      {{"a/b"}, "cannot be part of a topic"},
      {{"r", "--broker", "tcp://x"}, "does not start with mqtt://"},
      {{"r", "--broker", "mqtt://host:99999"}, "from 1 to 65535"},
      {{"r", "--broker", "mqtt://:1883"}, "names no host"},
      {{"r", "--max-sensor-rate", "-1"}, "--max-sensor-rate"},
      {{"r", "-c", "/nonexistent/bridge.conf"}, "/nonexistent/bridge.conf: "},
      {{"r", "--bogus"}, "unknown or incomplete option '--bogus'"},
      {{"r", "--files-dir", "/nonexistent/files"}, "the files folder '/nonexistent/files' does not exist"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {MQTT_BRIDGE_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess bridge(argv);
    EXPECT_EQ(bridge.Wait(), 2);
    EXPECT_NE(bridge.err().find(c.text), std::string::npos) << bridge.err();
  }
  mqtt_bridge::BridgeOptions parsed;
  for (const char* url : {"tcp://x", "mqtt://host:99999", "mqtt://:1883"})
    EXPECT_EQ(mqtt_bridge::ParseBrokerUrl(url, parsed).status, platform::Status::kBadArgument) << url;
  const std::string conf = "/tmp/trevask-bridge-" + std::to_string(getpid()) + ".conf";
  {
    std::ofstream f(conf);
    f << "# a comment\nbroker = mqtt://u:p@127.0.0.1:1\nmax_sensor_rate = lots\n";
  }
  chmod(conf.c_str(), 0600);
  ChildProcess bad(std::vector<std::string>{MQTT_BRIDGE_BIN, "r", "-c", conf});
  EXPECT_EQ(bad.Wait(), 2);
  EXPECT_NE(bad.err().find(conf + ":3: max_sensor_rate must be"), std::string::npos) << bad.err();
  EXPECT_EQ(mqtt_bridge::ReadConfigFile(conf, parsed).status, platform::Status::kBadContent);
  // The broker's password is for the bridge's user alone.
  std::ofstream(conf) << "broker = mqtt://127.0.0.1:1\nusername = bridge\npassword = se#cret\n";
  chmod(conf.c_str(), 0644);
  ChildProcess readable(std::vector<std::string>{MQTT_BRIDGE_BIN, "r", "-c", conf});
  EXPECT_EQ(readable.Wait(), 2);
  EXPECT_NE(readable.err().find("anyone may read the broker's password"), std::string::npos)
      << readable.err();
  EXPECT_EQ(mqtt_bridge::ReadConfigFile(conf, parsed).status, platform::Status::kNoAccess);
  std::remove(conf.c_str());
}

}  // namespace
