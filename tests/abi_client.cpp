// A client of the control through its C interface only, as programs in other languages use it:
// connects to ROBOT, takes three standard sensor readings, puts motor commands 31..35 on channel 0,
// takes a photo and writes its picture to OUT (the raw 176 x 144 R G B bytes the control decoded).
// Built for this machine and for Windows, so the Windows end-to-end run can compare the two decodes.
//
//   abi_client ROBOT OUT
#include <cstdio>
#include <cstring>
#include <string>

#include "control/talvenorctl.h"

namespace {

int32_t Dispid(const char* name) {
  int32_t id = -1;
  return tv_get_dispid(name, &id) == TV_OK ? id : -1;
}

int32_t EventDispid(const char* name) {
  int32_t id = -1;
  return tv_get_event_dispid(name, &id) == TV_OK ? id : -1;
}

bool Invoke(tv_control* c, const char* name, const tv_variant* args, int32_t argc) {
  tv_variant result{};
  const int32_t st = tv_invoke(c, Dispid(name), args, argc, &result);
  if (st != TV_OK) std::fprintf(stderr, "abi_client: %s: %s\n", name, tv_status_text(st));
  return st == TV_OK;
}

tv_variant Long(int64_t v) {
  tv_variant a{};
  a.type = TV_LONG;
  a.i = v;
  return a;
}

// Waits until `count` events `dispid` were taken, at most about `limit_ms` scaled milliseconds:
// through the host's wait, or without a host through the control's own (tv_wait).
bool Await(tv_host* host, tv_control* c, int32_t dispid, int count, uint32_t limit_ms, tv_event* last) {
  // Waits end early when records come; a stream of other records must not stretch the limit for ever.
  for (uint32_t waited = 0, waits = 0; waited < limit_ms && waits < limit_ms && count > 0; ++waits) {
    const int32_t taken = host != nullptr ? tv_host_wait(host, 100) : tv_wait(c, 100);
    if (taken <= 0) waited += 100;
    tv_event e{};
    while (count > 0 && tv_next_event(c, &e) == 1)
      if (e.dispid == dispid) {
        --count;
        if (last != nullptr) *last = e;
      }
  }
  return count == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: abi_client ROBOT OUT\n");
    return 2;
  }
  tv_control* c = nullptr;
  if (tv_create(&c) != TV_OK) return 1;
  tv_host* host = tv_host_create();
  tv_host_attach(host, c);
  tv_queue_events(c, 1);
  tv_variant robot{};
  robot.type = TV_STRING;
  robot.s = argv[1];
  if (!Invoke(c, "connectRobot", &robot, 1)) return 1;
  // Commands put before the relay's link is up are not sent: ask again until readings come.
  bool readings = false;
  for (int attempt = 0; attempt < 10 && !readings; ++attempt)
    readings = Invoke(c, "EnableStandardSensorSending", nullptr, 0) &&
               Await(host, c, EventDispid("StandardSensorEvent"), 3, 3000, nullptr);
  if (!readings) {
    std::fprintf(stderr, "abi_client: no readings\n");
    return 1;
  }
  for (int n = 31; n <= 35; ++n) {
    const tv_variant args[2] = {Long(0), Long(n)};
    if (!Invoke(c, "DcMotorPwmNonTimeCtr", args, 2)) return 1;
  }
  if (!Invoke(c, "TakePhoto", nullptr, 0)) return 1;
  tv_event photo{};
  tv_host_detach(c);  // the photo comes through the control's own wait
  if (!Await(nullptr, c, EventDispid("ImageEvent"), 1, 20000, &photo)) {
    std::fprintf(stderr, "abi_client: no photo\n");
    return 1;
  }
  FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(photo.data, 1, photo.size, out) != photo.size || std::fclose(out) != 0) {
    std::fprintf(stderr, "abi_client: %s cannot be written\n", argv[2]);
    return 1;
  }
  std::printf("abi_client: 3 readings, 5 commands, a photo of %zu bytes\n", photo.size);
  tv_host_destroy(host);
  tv_destroy(c);
  return 0;
}
