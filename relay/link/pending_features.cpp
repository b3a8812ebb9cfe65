// The Bluetooth module dialogue, the audio upload and the firmware replies are not built yet. Until
// they are, requests for them are refused with a debugger message and nothing is sent.
#include "platform/debug_output.h"
#include "relay/link/link_manager.h"

namespace relay {

int CLinkManager::BluetoothConnect() {
  platform::DebugOutput("Bluetooth module handshake is not available in this build");
  return 0;
}

void CLinkManager::BluetoothRelease() {}

void CLinkManager::StartAudioUpload(const char* path, bool continuation) {
  platform::DebugOutput("audio upload of '%s'%s is not available in this build", path,
                        continuation ? " (continuation)" : "");
}

void CLinkManager::OnFirmwareReply(int) {}

}  // namespace relay
