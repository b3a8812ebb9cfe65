// The automation face as Python and C callers reach it: any member, any number of arguments of any
// type and value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "control/control.h"
#include "control/dispatch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static control::CZembrinSDKControlCtrl ctl;
  if (size < 2) return 0;
  const auto& members = control::Members();
  const control::MemberInfo& m = members[data[0] % members.size()];
  const int argc = data[1] % (control::kMaxParams + 2);
  std::size_t at = 2;
  std::vector<uint8_t> buffer(64);
  control::Variant args[control::kMaxParams + 2];
  for (int i = 0; i < argc && at < size; ++i) {
    const uint8_t kind = data[at++] % 5;
    int64_t value = 0;
    const std::size_t take = std::min<std::size_t>(8, size - at);
    std::memcpy(&value, data + at, take);
    at += take;
    switch (kind) {
      case 0:
        args[i] = control::Variant::Short(value);
        break;
      case 1:
        args[i] = control::Variant::Long(value);
        break;
      case 2:
        args[i] = control::Variant::Bool(value & 1);
        break;
      case 3: {
        // Names of files that do not exist: the LCD and audio methods must refuse them quietly.
        std::string text = "/nonexistent/";
        for (int k = 0; k < 8 && at < size; ++k) text.push_back(static_cast<char>('a' + data[at++] % 26));
        args[i] = control::Variant::String(text);
        break;
      }
      default:
        args[i] = control::Variant::Buffer(buffer.data(), static_cast<std::size_t>(value & 63));
        break;
    }
  }
  control::Variant result;
  // connectRobot would open sections under arbitrary names; keep it to one name.
  if (m.name == "connectRobot") args[0] = control::Variant::String("fuzzrobot");
  if (m.kind == control::MemberKind::kMethod)
    control::Invoke(ctl, m.dispid, args, argc > control::kMaxParams ? control::kMaxParams : argc, result);
  if (m.kind == control::MemberKind::kProperty) {
    control::GetProperty(ctl, m.dispid, result);
    if (argc > 0) control::PutProperty(ctl, m.dispid, args[0]);
  }
  ctl.Tick();
  return 0;
}
