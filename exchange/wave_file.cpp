#include "exchange/wave_file.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "exchange/little_endian.h"
#include "platform/regular_file.h"
#include "platform/shared_memory.h"
#include "platform/unique_file.h"

namespace exchange {
namespace {

constexpr std::size_t kMaxFile = 64u << 20;  // beyond any sound a robot plays; refuses runaway reads
constexpr uint16_t kFormatExtensible = 0xFFFE;
// Bytes 2..15 of the PCM subformat GUID 00000001-0000-0010-8000-00AA00389B71, as stored.
constexpr uint8_t kPcmGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                      0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

}  // namespace

int SizeClass(std::size_t count) {
  if (count < 16000) return 1;
  if (count < 320000) return 2;
  if (count < 512000) return 3;
  return 4;
}

platform::Result ReadWaveSamples(const std::string& path, WaveSamples& out) {
  out.samples.clear();
  // Only regular files: a client must not make the relay read a device, a pipe or a folder. Nor a
  // link: whoever checked the file before naming it (the MQTT bridge, for its callers) checked the
  // file itself, and a link swapped in since must not make the relay read another. A relay that
  // serves a group reads only what every member may read: never on its own rights.
  std::vector<uint8_t> bytes;
  const long group = platform::SharedGroup();
  const platform::Status status = group >= 0 ? platform::ReadFileForGroup(path, group, kMaxFile, true, bytes)
                                             : platform::ReadRegularFileItself(path, kMaxFile, true, bytes);
  if (status == platform::Status::kTooLarge)
    return platform::Fail(status, path + ": too large for a sound file");
  if (status != platform::Status::kOk)
    return platform::Fail(status, path + ": " + platform::StatusText(status));

  // Nothing but a RIFF/WAVE file is played: any other file the relay can read (a key, a database)
  // would go to the loudspeaker as noise, and its bytes over the link.
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return platform::Fail(platform::Status::kBadContent,
                          path + ": not a WAV file (the robot plays 16-bit mono PCM WAV files)");
  }
  std::size_t data_at = 0, data_size = 0;
  {
    bool have_format = false, have_data = false;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
      const uint32_t chunk = le::Read32(bytes.data() + at + 4);
      const std::size_t body = at + 8;
      const std::size_t available = bytes.size() - body;
      if (std::memcmp(bytes.data() + at, "fmt ", 4) == 0) {
        if (chunk < 16 || available < 16) {
          return platform::Fail(platform::Status::kBadContent, path + ": damaged format chunk");
        }
        uint16_t format = le::Read16(bytes.data() + body);
        const uint16_t channels = le::Read16(bytes.data() + body + 2);
        const uint16_t bits = le::Read16(bytes.data() + body + 14);
        // The extensible form names its coding by a GUID; PCM's is the plain format code followed by
        // a fixed tail. Many tools write 16-bit mono PCM this way.
        if (format == kFormatExtensible && chunk >= 40 && available >= 40 &&
            std::memcmp(bytes.data() + body + 26, kPcmGuidTail, sizeof kPcmGuidTail) == 0)
          format = le::Read16(bytes.data() + body + 24);
        if (format != 1 || channels != 1 || bits != 16) {
          return platform::Fail(platform::Status::kBadContent,
                                path + ": the robot plays 16-bit mono PCM; this file has format " +
                                    std::to_string(format) + ", " + std::to_string(channels) +
                                    " channel(s), " + std::to_string(bits) + " bits");
        }
        have_format = true;
      } else if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
        data_at = body;
        data_size = chunk < available ? chunk : available;  // a truncated file gives what it holds
        have_data = true;
        break;
      }
      at = body + chunk + (chunk & 1);
      if (at < body) break;  // a chunk size that wraps around
    }
    if (!have_format || !have_data) {
      return platform::Fail(platform::Status::kBadContent,
                            path + (have_format ? ": no data chunk" : ": no format chunk before the data"));
    }
  }
  if (data_size < 2) {
    return platform::Fail(platform::Status::kBadContent, path + ": no samples to play");
  }
  out.samples.resize(data_size / 2);
  for (std::size_t i = 0; i < out.samples.size(); ++i)
    out.samples[i] = static_cast<int16_t>(le::Read16(bytes.data() + data_at + 2 * i));
  return platform::Ok();
}

platform::Result ReadPlayableSound(const std::string& path, WaveSamples& out) {
  if (platform::Result read = ReadWaveSamples(path, out); !read.ok()) return read;
  if (out.samples.size() > 2) return platform::Ok();
  out.samples.clear();
  return platform::Fail(platform::Status::kBadContent, path + ": no samples to play");
}

std::vector<uint8_t> WaveFileBytes(const uint8_t* pcm, std::size_t size, uint32_t sample_rate) {
  const uint32_t data = static_cast<uint32_t>(size & ~std::size_t{1});
  std::vector<uint8_t> out;
  out.reserve(44 + data);
  for (char c : {'R', 'I', 'F', 'F'}) out.push_back(static_cast<uint8_t>(c));
  le::Append32(out, 36 + data);
  for (char c : {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}) out.push_back(static_cast<uint8_t>(c));
  le::Append32(out, 16);               // format chunk size
  le::Append16(out, 1);                // PCM
  le::Append16(out, 1);                // mono
  le::Append32(out, sample_rate);      //
  le::Append32(out, sample_rate * 2);  // bytes per second
  le::Append16(out, 2);                // bytes per sample
  le::Append16(out, 16);               // bits per sample
  for (char c : {'d', 'a', 't', 'a'}) out.push_back(static_cast<uint8_t>(c));
  le::Append32(out, data);
  if (data > 0) out.insert(out.end(), pcm, pcm + data);
  return out;
}

bool WriteWaveFile(const std::string& path, const uint8_t* pcm, std::size_t size, uint32_t sample_rate) {
  const std::vector<uint8_t> bytes = WaveFileBytes(pcm, size, sample_rate);
  platform::UniqueFile file = platform::OpenFile(path, "wb");
  if (!file) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  return platform::CloseFile(file) && ok;
}

bool WriteWaveFile(const std::string& path, const std::vector<int16_t>& samples, uint32_t sample_rate) {
  return WriteWaveFile(path, reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * 2,
                       sample_rate);
}

}  // namespace exchange
