// The Bluetooth module dialogue, the audio upload and the firmware upload, against the simulated
// robot (and its module) over real pseudo-terminals and UDP, or against a test playing the robot's
// end of a pseudo-terminal byte by byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "exchange/frame.h"
#include "exchange/wave_file.h"
#include "link_test_support.h"
#include "platform/clock.h"
#include "platform/debug_output.h"
#include "program_folder.h"
#include "sim/bluetooth_module.h"

namespace {

using testing_support::RecordingUi;
using testing_support::WaitUntil;
using Bytes = std::vector<uint8_t>;

// The test files of this program, in a folder of its own.
const std::string kTempDir = testing_support::AddProgramFolder("/tmp/upl-" + std::to_string(getpid()));

std::string Temp(const std::string& tag) {
  return kTempDir + "/" + tag;
}

// A wire that keeps a copy of every byte the relay wrote to the robot's end.
class RecordingWire : public sim::Wire {
 public:
  explicit RecordingWire(std::unique_ptr<sim::Wire> inner) : inner_(std::move(inner)) {}
  int Receive(uint8_t* b, std::size_t n) override {
    int got = inner_->Receive(b, n);
    if (got > 0) {
      std::lock_guard<std::mutex> g(mutex_);
      seen_.append(reinterpret_cast<char*>(b), static_cast<std::size_t>(got));
    }
    return got;
  }
  bool Send(const uint8_t* b, std::size_t n) override { return inner_->Send(b, n); }
  int fd() const override { return inner_->fd(); }
  std::string Describe() const override { return inner_->Describe(); }
  std::string Seen() {
    std::lock_guard<std::mutex> g(mutex_);
    return seen_;
  }
  std::unique_ptr<sim::Wire> inner_;
  std::mutex mutex_;
  std::string seen_;
};

// Bluetooth -------------------------------------------------------------------------------------

void RunBluetoothDialogue(bool answer_escape) {
  const std::string path = Temp(answer_escape ? "bt1" : "bt2");
  std::unique_ptr<sim::Wire> pty;
  const platform::Result opened = sim::OpenPtyWire(path, pty);
  ASSERT_TRUE(opened.ok()) << opened.message;
  auto recorder = std::make_unique<RecordingWire>(std::move(pty));
  RecordingWire* seen = recorder.get();
  sim::ModuleOptions module;
  module.answer_escape = answer_escape;
  testing_support::RunningSim sim(sim::WrapInBluetoothModule(std::move(recorder), module), {});
  setenv("TREVASK_COM6", path.c_str(), 1);
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kBluetooth;
  choices.com_port = 6;
  choices.bt_address = "0012AB34CD56";
  choices.robot_id = "B" + std::to_string(getpid());
  RecordingUi ui(choices);
  {
    relay::CLinkManager link(ui);
    ui.Attach(&link);
    ASSERT_TRUE(link.StartConnection());
    ASSERT_TRUE(
        WaitUntil([&] { return ui.Has("status:Wireless Connection: Connected, COM Port: 6"); }, 20000));
    EXPECT_EQ(ui.Matching("status:").front(), "status:Bluetooth Connection: Connecting...");
    const std::string dialogue = "^#^$^%AT+ZV SPPDisconnect\r\nAT+ZV SPPConnect 0012AB34CD56\r\n";
    EXPECT_EQ(seen->Seen().substr(0, dialogue.size()), dialogue);
    EXPECT_EQ(seen->Seen()[dialogue.size()], '\x5E') << "robot frames follow the dialogue";
    link.RequestStop();
    link.WaitForConnectionThread();
    // The end of a Bluetooth link takes the module back to command mode and drops the connection
    // (the module reads it from the line after the link has ended).
    EXPECT_TRUE(WaitUntil([&] {
      return seen->Seen().find("^#^$^%AT+ZV SPPDisconnect\r\n", dialogue.size()) != std::string::npos;
    })) << seen->Seen();
  }
  EXPECT_EQ(ui.Matching("status:").back(), "status:BT Connection: Disconnected");
}

TEST(Bluetooth, DialogueWithAModuleThatAnswersTheEscape) {
  RunBluetoothDialogue(true);
}
TEST(Bluetooth, DialogueWithAModuleThatDoesNotAnswerTheEscape) {
  RunBluetoothDialogue(false);
}

// The test plays the module (or the board) on the master side of a pseudo-terminal; the relay's
// side is its serial port with the link writer on it.
class ModuleByHand : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    ASSERT_TRUE(port_.OpenPath(ptsname(master_)));
    writer_.Use(&port_);
  }
  void TearDown() override {
    stop_.Raise();
    close(master_);
  }
  // Reads what the relay writes until `text` has been seen (or a limit passes).
  bool ReadUntil(const std::string& text, std::string& seen, int limit_ms = 10000) {
    for (int waited = 0; waited < limit_ms; ++waited) {
      if (seen.find(text) != std::string::npos) return true;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 1) > 0) {
        char buf[512];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
      }
    }
    return seen.find(text) != std::string::npos;
  }
  void Say(const char* text) {
    ASSERT_EQ(write(master_, text, std::strlen(text)), static_cast<ssize_t>(std::strlen(text)));
  }

  relay::LinkConfig Choices(const std::string& address) {
    relay::LinkConfig c;
    c.kind = relay::LinkKind::kBluetooth;
    c.bt_address = address;
    c.robot_id = "Bt" + std::to_string(getpid());
    return c;
  }

  int master_ = -1;
  RecordingUi ui_{Choices("A1B2")};
  relay::CSerialPort port_;
  relay::LinkStats stats_;
  relay::CLinkWriter writer_{stats_};
  platform::StopSignal stop_;
  relay::CBluetoothModule module_{writer_, stats_, ui_, stop_};
};

TEST_F(ModuleByHand, BypassModeSplitAcrossReadsIsFound) {
  int result = -1;
  std::thread relay([&] { result = module_.Connect(port_, "A1B2"); });
  std::string seen;
  ASSERT_TRUE(ReadUntil("AT+ZV SPPConnect A1B2\r\n", seen));
  Say("\r\nBypa");
  // The module's reply paced in two parts, several of the relay's polls apart.
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  Say("ssMode\r\n");
  relay.join();
  EXPECT_EQ(result, 1);
}

TEST_F(ModuleByHand, TheReplyTextAloneIsNotEnough) {
  int result = -1;
  std::thread relay([&] { result = module_.Connect(port_, "A1B2"); });
  std::string seen;
  ASSERT_TRUE(ReadUntil("AT+ZV SPPConnect A1B2\r\n", seen));
  Say("BypassMode");  // exactly the ten characters, nothing after them
  relay.join();
  EXPECT_EQ(result, 0);
}

TEST_F(ModuleByHand, EmptyAddressWritesNoConnectCommand) {
  EXPECT_FALSE(module_.Connect(port_, ""));
  std::string seen;
  ReadUntil("never", seen, 50);
  EXPECT_EQ(seen, "^#^$^%AT+ZV SPPDisconnect\r\n");
  EXPECT_TRUE(ui_.Has("note:the Bluetooth address field is empty"));
}

// Audio -----------------------------------------------------------------------------------------

std::string WriteWav(const std::string& path, const std::vector<int16_t>& samples, int channels = 1,
                     int bits = 16, bool with_list = false) {
  std::ofstream out(path, std::ios::binary);
  auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
  auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
  const uint32_t data = static_cast<uint32_t>(samples.size() * 2);
  out.write("RIFF", 4);
  u32(36 + data + (with_list ? 12 : 0));
  out.write("WAVE", 4);
  out.write("fmt ", 4);
  u32(16);
  u16(1);
  u16(static_cast<uint16_t>(channels));
  u32(8000);
  u32(16000);
  u16(2);
  u16(static_cast<uint16_t>(bits));
  if (with_list) {
    out.write("LIST", 4);
    u32(4);
    out.write("INFO", 4);
  }
  out.write("data", 4);
  u32(data);
  out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(data));
  return path;
}

// A voiced, speech-like signal: a gliding pitch with a few formants and a syllable envelope.
std::vector<int16_t> SpeechLike(std::size_t n) {
  std::vector<int16_t> s(n);
  double phase = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 8000.0;
    phase += 2 * M_PI * (120 + 40 * std::sin(2 * M_PI * 3 * t)) / 8000.0;
    const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 4 * t);
    double v = 0;
    for (int h = 1; h <= 10; ++h) {  // voiced speech: energy falling off with frequency, two formants
      const double f = h * 130.0;
      const double formant =
          std::exp(-std::pow((f - 500) / 250, 2)) + 0.5 * std::exp(-std::pow((f - 1200) / 300, 2));
      v += (0.15 + formant) * std::sin(h * phase) / (h * std::sqrt(h));
    }
    s[i] = static_cast<int16_t>(9000 * envelope * v);
  }
  return s;
}

double Snr(const std::vector<int16_t>& reference, const std::vector<int16_t>& heard, std::size_t offset) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < reference.size() && i + offset < heard.size(); ++i) {
    signal += double(reference[i]) * reference[i];
    const double d = double(reference[i]) - heard[i + offset];
    noise += d * d;
  }
  return 10 * std::log10(signal / (noise + 1e-9));
}

class AudioUpload : public testing_support::LinkedRobotFixture {
 protected:
  void Start(sim::SimOptions options = {}) { Connect("Au" + std::to_string(getpid()), options); }
  void Request(const std::string& text) {
    PutRecord(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  std::vector<Bytes> VoicePackets() {
    std::vector<Bytes> out;
    for (auto& f : sim_->robot().ReceivedFrames())
      if (f[4] == 0x0A && f[2] == 0x08) out.push_back(f);
    return out;
  }
  bool Finished() {
    return WaitUntil([&] { return !link_->AudioUploadRunning(); }, 30000);
  }
  // What the robot heard once it has heard `count` samples: the upload thread ends when it has sent
  // the last packets, not when the robot has played them.
  std::vector<int16_t> HeardAtLeast(std::size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return sim_->robot().HeardAudio().size() >= count; }))
        << sim_->robot().HeardAudio().size() << " of " << count << " samples heard";
    return sim_->robot().HeardAudio();
  }
};

TEST_F(AudioUpload, ThousandSamplesGoOutAsThreePacketsOf128AndOneOf116) {
  Start();
  std::vector<int16_t> samples(1000, 0);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(3000 * std::sin(static_cast<double>(i) * 0.05));
  Request(WriteWav(Temp("1000.wav"), samples));
  ASSERT_TRUE(WaitUntil([&] { return VoicePackets().size() == 4 && !link_->AudioUploadRunning(); }, 30000));
  std::vector<Bytes> packets = VoicePackets();
  EXPECT_EQ(packets[0][5], 128);
  EXPECT_EQ(packets[1][5], 128);
  EXPECT_EQ(packets[2][5], 128);
  EXPECT_EQ(packets[3][5], 116);
  EXPECT_EQ(packets[0][3], 0) << "voice packets carry sequence 0";
  EXPECT_EQ(sim_->robot().Announcements(), std::vector<int>{1});
}

TEST_F(AudioUpload, SpeechArrivesCleanlyAndContinuationsKeepTheEncoderState) {
  sim::SimOptions options;
  options.flow_control_every = 40;  // the robot asks for a pause now and then
  Start(options);
  const std::vector<int16_t> first = SpeechLike(12000), second = SpeechLike(6000);
  const std::string a = WriteWav(Temp("a.wav"), first, 1, 16, true), b = WriteWav(Temp("b.wav"), second);
  Request(a);
  ASSERT_TRUE(WaitUntil([&] { return link_->AudioUploadRunning(); }, 5000));
  ASSERT_TRUE(Finished());
  std::vector<int16_t> heard = HeardAtLeast(first.size());
  // The leading silent sample comes first; the file's samples follow it.
  EXPECT_GT(Snr(first, heard, 1), 25.0);

  Request(b + "EOF");
  ASSERT_TRUE(WaitUntil([&] { return sim_->robot().HeardAudio().size() > heard.size(); }, 5000));
  ASSERT_TRUE(Finished());
  EXPECT_EQ(sim_->robot().Announcements(), std::vector<int>{1}) << "a continuation is not announced";
  std::vector<int16_t> joined = HeardAtLeast(heard.size() + second.size());
  std::vector<int16_t> tail(joined.begin() + static_cast<std::ptrdiff_t>(heard.size()), joined.end());
  EXPECT_GT(Snr(second, tail, 1), 25.0) << "the robot's decoder runs on from the first file's state";

  Request(b);
  ASSERT_TRUE(WaitUntil([&] { return sim_->robot().Announcements().size() == 2; }, 5000));
  ASSERT_TRUE(Finished());
}

TEST_F(AudioUpload, StopCommandEndsTheUploadAndTheNextRequestStartsAgain) {
  Start();
  const std::vector<int16_t> long_sound = SpeechLike(200000);
  Request(WriteWav(Temp("long.wav"), long_sound));
  ASSERT_TRUE(WaitUntil([&] { return VoicePackets().size() >= 5; }, 5000));
  Bytes stop(exchange::kMaxFrame);
  stop.resize(exchange::BuildFrame(stop.data(), stop.size(), 8, 0, 0x0E, nullptr, 0));
  ASSERT_EQ(commands_.Put(stop.data(), static_cast<uint32_t>(stop.size())), exchange::PutStatus::kStored);
  ASSERT_TRUE(Finished());
  EXPECT_LT(sim_->robot().HeardAudio().size(), long_sound.size() / 2);
  Request(WriteWav(Temp("short.wav"), std::vector<int16_t>(600, 100)));
  ASSERT_TRUE(WaitUntil([&] { return sim_->robot().Announcements().size() == 2; }, 5000));
  ASSERT_TRUE(Finished());
}

TEST_F(AudioUpload, FilesThatCannotBePlayedSendNothingAndSayWhy) {
  Start();
  const std::string empty = Temp("empty.wav");
  std::ofstream(empty).close();
  const std::string bare = Temp("bare.wav");
  std::ofstream(bare, std::ios::binary) << std::string("RIFF\x04\0\0\0WAVE", 12);
  const std::string fifo = Temp("fifo.wav");
  unlink(fifo.c_str());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Request(WriteWav(Temp("stereo.wav"), std::vector<int16_t>(2000, 5), 2));
  Request(WriteWav(Temp("8bit.wav"), std::vector<int16_t>(2000, 5), 1, 8));
  Request(Temp("missing.wav"));
  Request(std::string(80, 'x'));  // a path of 80 characters, the longest a record holds
  Request("/dev/zero");           // only regular files are read
  Request(empty);
  Request(bare);
  Request(WriteWav(Temp("two.wav"), std::vector<int16_t>(2, 5)));
  Request(fifo);           // a pipe nobody writes to: refused at once, never waited on
  Request("/etc/passwd");  // a file the relay may read, but no sound
  ASSERT_TRUE(
      WaitUntil([&] { return ui_->Matching("note:the sound file is not played").size() >= 10; }, 5000))
      << ui_->Matching("note:").size();
  const std::vector<std::string> notes = ui_->Matching("note:the sound file is not played");
  EXPECT_NE(notes[0].find("16-bit mono PCM"), std::string::npos) << notes[0];
  EXPECT_NE(notes[0].find("stereo.wav"), std::string::npos) << "the file is named: " << notes[0];
  EXPECT_NE(notes[1].find("8 bits"), std::string::npos) << notes[1];
  EXPECT_NE(notes[2].find("no such file"), std::string::npos) << notes[2];
  EXPECT_NE(notes[4].find("not a regular file"), std::string::npos) << notes[4];
  EXPECT_NE(notes[5].find("not a WAV file"), std::string::npos) << notes[5];
  EXPECT_NE(notes[6].find("bare.wav: no format chunk"), std::string::npos) << notes[6];
  EXPECT_NE(notes[7].find("no samples"), std::string::npos) << notes[7];
  EXPECT_NE(notes[8].find("not a regular file"), std::string::npos) << notes[8];
  EXPECT_NE(notes[9].find("/etc/passwd: not a WAV file"), std::string::npos) << notes[9];
  EXPECT_TRUE(sim_->robot().Announcements().empty()) << "nothing announced when there is nothing to play";
  EXPECT_TRUE(VoicePackets().empty());
  EXPECT_FALSE(ui_->Has("icon:140")) << "the link carried on meanwhile";
}

TEST_F(AudioUpload, ExtensiblePcmIsPlayed) {
  Start();
  const std::string path = Temp("extensible.wav");
  {
    std::vector<int16_t> samples(1000, 1200);
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(60 + 2000);
    out.write("WAVEfmt ", 8);
    u32(40);
    u16(0xFFFE);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    u16(22);  // extension size
    u16(16);  // valid bits
    u32(4);   // speaker: front centre
    const uint8_t pcm[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                             0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    out.write(reinterpret_cast<const char*>(pcm), 16);
    out.write("data", 4);
    u32(2000);
    out.write(reinterpret_cast<const char*>(samples.data()), 2000);
  }
  Request(path);
  ASSERT_TRUE(WaitUntil([&] { return VoicePackets().size() == 4 && !link_->AudioUploadRunning(); }, 30000));
  EXPECT_EQ(sim_->robot().Announcements(), std::vector<int>{1});
}

TEST(WaveFile, OnlyWaveFilesAndTruncatedOnesGiveWhatTheyHold) {
  exchange::WaveSamples w;
  const std::string raw = Temp("raw.bin");
  {
    // Anything that is not a WAV file (here 46 bytes and three samples) is no sound: a secret the relay
    // can read would otherwise reach the loudspeaker and the link.
    std::ofstream out(raw, std::ios::binary);
    out << std::string(46, 'h');
    const int16_t s[3] = {1, -2, 3};
    out.write(reinterpret_cast<const char*>(s), 6);
  }
  const platform::Result refused = exchange::ReadWaveSamples(raw, w);
  EXPECT_EQ(refused.status, platform::Status::kBadContent);
  EXPECT_NE(refused.message.find("not a WAV file"), std::string::npos) << refused.message;
  EXPECT_TRUE(w.samples.empty());
  EXPECT_EQ(exchange::ReadWaveSamples(Temp("none.wav"), w).status, platform::Status::kMissing);
  const std::string cut = WriteWav(Temp("cut.wav"), std::vector<int16_t>(100, 7));
  truncate(cut.c_str(), 44 + 50);
  ASSERT_TRUE(exchange::ReadWaveSamples(cut, w).ok());
  EXPECT_EQ(w.samples.size(), 25u) << "a truncated data chunk gives what it holds";
  // What the project writes (the simulated loudspeaker, the dashboard, the bridge) it reads back.
  const std::vector<int16_t> written = {-32768, -1, 0, 1, 32767};
  ASSERT_TRUE(exchange::WriteWaveFile(Temp("written.wav"), written));
  const platform::Result read = exchange::ReadWaveSamples(Temp("written.wav"), w);
  ASSERT_TRUE(read.ok()) << read.message;
  EXPECT_EQ(w.samples, written);
  EXPECT_EQ(exchange::WaveFileBytes(nullptr, 0).size(), 44u);
  EXPECT_FALSE(exchange::WriteWaveFile("/nonexistent-dir/x.wav", written));
  EXPECT_EQ(exchange::SizeClass(15999), 1);
  EXPECT_EQ(exchange::SizeClass(16000), 2);
  EXPECT_EQ(exchange::SizeClass(511999), 3);
  EXPECT_EQ(exchange::SizeClass(512000), 4);
}

// Firmware --------------------------------------------------------------------------------------

class FirmwareByHand : public ModuleByHand {
 protected:
  // What the receive thread hands the upload in upload mode: one read's bytes.
  void Reply(const std::string& text) {
    upload_.OnReply(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
  }
  // The file as the link reads it before an upload.
  static relay::FirmwareImage Image(const std::string& path) {
    relay::FirmwareImage image;
    relay::LoadFirmware(path, image);
    return image;
  }
  platform::Waker wake_;
  relay::CFirmwareUpload upload_{writer_, ui_, wake_};
  void SetUp() override {
    ModuleByHand::SetUp();
    hex_ = Temp("robot.hex");
    std::ofstream out(hex_);
    out << "S00600004844521B\n"
        << "S1130000285F245F2212226A000424290008237C2A\n"
        << "\n"
        << std::string(2000, 'A') << "\n"
        << "S9030000FC   \n";
  }
  std::string hex_;
};

TEST_F(FirmwareByHand, LinesGoOutOneOkAtATime) {
  upload_.Start(Image(hex_));
  EXPECT_TRUE(upload_.Active());
  std::string seen;
  ASSERT_TRUE(ReadUntil("S00600004844521B\n", seen));
  const uint8_t start[10] = {0x5E, 0x02, 0x08, 0x00, 0x11, 0x01, 0x01, 0, 0x5E, 0x0D};
  EXPECT_EQ(seen.substr(0, 7), std::string(reinterpret_cast<const char*>(start), 7))
      << "the start frame first";

  Reply("O");
  Reply("K");  // O and K in different reads are no answer
  seen.clear();
  EXPECT_FALSE(ReadUntil("S113", seen, 100));
  Reply("xOKOK");  // two answers in one block release one line
  ASSERT_TRUE(ReadUntil("S1130000285F245F2212226A000424290008237C2A\n", seen));
  EXPECT_FALSE(ReadUntil("\n\n", seen, 100)) << "only one line per block";
  Reply("OK");
  ASSERT_TRUE(ReadUntil("2A\n\n", seen)) << "an empty line is a lone line feed";
  Reply("OK");
  ASSERT_TRUE(ReadUntil(std::string(2000, 'A') + "\n", seen)) << "a long line goes out whole";
  EXPECT_TRUE(upload_.Active());
  EXPECT_FALSE(ui_.Has("message:Upgrading succeeds!"));
  Reply("OK");
  ASSERT_TRUE(ReadUntil("S9030000FC\n", seen)) << "trailing blanks are trimmed";
  EXPECT_TRUE(ui_.Has("message:Upgrading succeeds!")) << "said once the end record has gone out";
  EXPECT_FALSE(upload_.Active());
  const std::vector<std::string> progress = ui_.Matching("progress:");
  ASSERT_EQ(progress.size(), 5u);
  EXPECT_EQ(progress.front(), "progress:1/5");
  EXPECT_EQ(progress.back(), "progress:5/5");
}

TEST_F(FirmwareByHand, NoFileEndsQuietlyAtTheFirstOk) {
  upload_.Start(Image(Temp("nothing.hex")));
  EXPECT_TRUE(upload_.Active());
  EXPECT_TRUE(
      ui_.Has("note:" + Temp("nothing.hex") + ": cannot be opened; the upload ends at the board's first OK"));
  Reply("OK");
  EXPECT_FALSE(upload_.Active());
  EXPECT_FALSE(ui_.Has("message:Upgrading succeeds!"));
}

TEST(Firmware, RefusedWithoutASerialLink) {
  RecordingUi ui(testing_support::WifiConfig(1, "x"));
  relay::CLinkManager link(ui);
  link.StartFirmwareUpload("robot.hex");
  EXPECT_TRUE(ui.Has("message:Please make sure that the PC's Trevask has connected to the robot."));
  EXPECT_FALSE(link.UploadMode());
}

TEST(Firmware, WholeUploadToTheSimulatedBoardPausesTheKeepAlive) {
  const std::string path = Temp("fwpty");
  std::unique_ptr<sim::Wire> pty;
  const platform::Result opened = sim::OpenPtyWire(path, pty);
  ASSERT_TRUE(opened.ok()) << opened.message;
  sim::SimOptions options;
  testing_support::RunningSim sim(std::move(pty), options);
  setenv("TREVASK_COM5", path.c_str(), 1);
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kSerial;
  choices.com_port = 5;
  choices.robot_id = "F" + std::to_string(getpid());
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("minimize"); }));
  const std::string hex = Temp("good.hex");
  {
    std::ofstream out(hex);
    out << "S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\nS1130010000200080008262900185381234"
           "1001813\n"
        << "S9030000FC\n";
  }
  link.StartFirmwareUpload(hex);
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("message:Upgrading succeeds!"); }, 20000));
  std::vector<std::string> lines = sim.robot().FirmwareLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "S9030000FC");
  EXPECT_EQ(sim.robot().bad_firmware_lines(), 0);
  link.RequestStop();
  link.WaitForConnectionThread();
}

// A firmware file must be a regular file of bounded size, read before the link lock is taken: a pipe
// with no writer, a device, a folder or a huge file is refused at once with a box that names it, and
// the board hears nothing. (A pipe used to hold the caller in its open, with the link lock taken;
// here a helper opens its other end after three seconds, so that such a wait fails the test.)
TEST(Firmware, OnlyARegularFileOfBoundedSizeIsSent) {
  const std::string path = Temp("fwrefuse");
  std::unique_ptr<sim::Wire> pty;
  const platform::Result opened = sim::OpenPtyWire(path, pty);
  ASSERT_TRUE(opened.ok()) << opened.message;
  sim::SimOptions options;
  options.firmware_answers = false;
  testing_support::RunningSim sim(std::move(pty), options);
  setenv("TREVASK_COM3", path.c_str(), 1);
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kSerial;
  choices.com_port = 3;
  choices.robot_id = "Fr" + std::to_string(getpid());
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("minimize"); }));

  const std::string fifo = Temp("pipe.hex");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = Temp("folder.hex");
  std::filesystem::create_directory(folder);
  const std::string huge = Temp("huge.hex");
  std::ofstream(huge) << "S00600004844521B\n";
  std::filesystem::resize_file(huge, relay::kFirmwareFileMax + 1);  // sparse: no disk taken
  std::atomic<bool> done{false};
  std::thread unblock([&] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!done.load()) {
      // The watchdog's pace: a relay stuck opening the pipe for reading is freed after three seconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (std::chrono::steady_clock::now() < give_up) continue;
      const int w = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // fails until a reader waits
      if (w >= 0) close(w);
    }
  });
  struct Row {
    std::string path, why;
  } rows[] = {{fifo, "not a regular file"},
              {"/dev/null", "not a regular file"},
              {folder, "not a regular file"},
              {huge, "larger than 16 MiB"}};
  auto starts = [&] {
    int n = 0;
    for (auto& f : sim.robot().ReceivedFrames()) n += f[4] == exchange::kTypeFirmwareStart;
    return n;
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    const auto asked = std::chrono::steady_clock::now();
    link.StartFirmwareUpload(row.path);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
    EXPECT_FALSE(link.UploadMode());
    EXPECT_EQ(ui.Matching("message:" + row.path + ": " + row.why).size(), 1u);
  }
  done.store(true);
  unblock.join();
  // Anything sent would have reached the board by the next keep-alive answer.
  const int answers = ui.Count("icon:141");
  ASSERT_TRUE(WaitUntil([&] { return ui.Count("icon:141") > answers; }));
  EXPECT_EQ(starts(), 0);
  EXPECT_TRUE(sim.robot().FirmwareLines().empty());
  link.RequestStop();
  link.WaitForConnectionThread();
  std::remove(fifo.c_str());
  std::filesystem::remove(folder);
  std::remove(huge.c_str());
}

TEST(Firmware, ABoardThatNeverAnswersKeepsTheLinkInUploadModeWithoutKeepAlives) {
  const std::string path = Temp("fwsilent");
  std::unique_ptr<sim::Wire> pty;
  const platform::Result opened = sim::OpenPtyWire(path, pty);
  ASSERT_TRUE(opened.ok()) << opened.message;
  sim::SimOptions options;
  options.firmware_answers = false;
  testing_support::RunningSim sim(std::move(pty), options);
  setenv("TREVASK_COM4", path.c_str(), 1);
  relay::LinkConfig choices;
  choices.kind = relay::LinkKind::kSerial;
  choices.com_port = 4;
  choices.robot_id = "Fs" + std::to_string(getpid());
  RecordingUi ui(choices);
  relay::CLinkManager link(ui);
  ui.Attach(&link);
  ASSERT_TRUE(link.StartConnection());
  ASSERT_TRUE(WaitUntil([&] { return ui.Has("minimize"); }));
  const std::string hex = Temp("silent.hex");
  std::ofstream(hex) << "S00600004844521B\nS9030000FC\n";
  link.StartFirmwareUpload(hex);
  auto keep_alives = [&] {
    int n = 0;
    for (auto& f : sim.robot().ReceivedFrames()) n += f[4] == 0xFF;
    return n;
  };
  ASSERT_TRUE(WaitUntil([&] { return sim.robot().FirmwareLines().size() == 1; }));
  const int before = keep_alives();
  // Fifteen seconds of the link's own time, the time under test: five missed answers would have been
  // a loss by now.
  platform::Sleep(15000);
  EXPECT_EQ(keep_alives(), before);
  EXPECT_FALSE(ui.Has("status:Serial Cable Connection down, retry 2 seconds after!"));
  EXPECT_TRUE(link.UploadMode());
  link.RequestStop();
  link.WaitForConnectionThread();
}

}  // namespace
