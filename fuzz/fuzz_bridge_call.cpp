// Calls as trevask-mqtt takes them from the broker: any bytes, any JSON, any method with any
// arguments, on a control of no robot. Never a crash, never an exception out of the handler, and
// always a reply that is JSON.
#include <cstddef>
#include <cstdint>
#include <string>

#include "clients/mqtt_bridge/call_handler.h"
#include "control/headless_host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static control::CHeadlessHost host;
  static control::CZembrinSDKControlCtrl* control = [] {
    auto* c = new control::CZembrinSDKControlCtrl();
    host.SetMessageHandler([](const std::string&) {});
    c->AttachHost(&host);
    return c;
  }();
  static const mqtt_bridge::CallPolicy policy{"/nonexistent-fuzz-files"};
  const std::string payload(reinterpret_cast<const char*>(data), size);
  const mqtt_bridge::CallReply reply = mqtt_bridge::HandleCall(*control, payload, policy);
  if (!reply.body.is_object() || (!reply.body.contains("error") && !reply.body.contains("result")))
    __builtin_trap();
  if (reply.id.size() > 64 || reply.id.find('/') != std::string::npos) __builtin_trap();
  return 0;
}
