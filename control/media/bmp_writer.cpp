#include "control/media/bmp_writer.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "exchange/little_endian.h"
#include "platform/unique_file.h"

namespace media {
namespace {

constexpr int kWidth = 176, kHeight = 144;

}  // namespace

void BuildPhotoBmp(const uint8_t* rgb, uint8_t* out) {
  std::memset(out, 0, 54);
  exchange::le::Write16(out + 0, 0x4D42);
  exchange::le::Write32(out + 2, kPhotoBmpBytes);
  exchange::le::Write32(out + 10, 54);
  exchange::le::Write32(out + 14, 40);
  exchange::le::Write32(out + 18, kWidth);
  exchange::le::Write32(out + 22, kHeight);
  exchange::le::Write16(out + 26, 1);
  exchange::le::Write16(out + 28, 24);
  exchange::le::Write32(out + 34, kWidth * kHeight * 3);
  exchange::le::Write32(out + 38, 3780);
  exchange::le::Write32(out + 42, 3780);
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
