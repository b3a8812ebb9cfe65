#include "control/media/bmp_writer.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/unique_file.h"

namespace media {
namespace {

void U16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void U32(uint8_t* p, uint32_t v) {
  U16(p, v & 0xFFFF);
  U16(p + 2, v >> 16);
}

constexpr int kWidth = 176, kHeight = 144;

}  // namespace

void BuildPhotoBmp(const uint8_t* rgb, uint8_t* out) {
  std::memset(out, 0, 54);
  U16(out + 0, 0x4D42);
  U32(out + 2, kPhotoBmpBytes);
  U32(out + 10, 54);
  U32(out + 14, 40);
  U32(out + 18, kWidth);
  U32(out + 22, kHeight);
  U16(out + 26, 1);
  U16(out + 28, 24);
  U32(out + 34, kWidth * kHeight * 3);
  U32(out + 38, 3780);
  U32(out + 42, 3780);
  uint8_t* p = out + 54;
  for (int y = kHeight - 1; y >= 0; --y) {
    const uint8_t* row = rgb + 3 * kWidth * y;
    for (int x = 0; x < kWidth; ++x) {
      *p++ = row[3 * x + 2];
      *p++ = row[3 * x + 1];
      *p++ = row[3 * x + 0];
    }
  }
}

bool SavePhotoBmp(const uint8_t* rgb, const std::string& path) {
  std::vector<uint8_t> bytes(kPhotoBmpBytes);
  BuildPhotoBmp(rgb, bytes.data());
  platform::UniqueFile file = platform::OpenFile(path, "wb");
  if (!file) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  ok = platform::CloseFile(file) && ok;
  if (!ok) std::remove(path.c_str());  // a disk that filled up leaves no truncated picture
  return ok;
}

}  // namespace media
