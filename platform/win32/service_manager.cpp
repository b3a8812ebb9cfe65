#include "platform/service_manager.h"

namespace platform {

void NotifyReady() {}
void NotifyStatus(const std::string&) {}
void NotifyStopping() {}

}  // namespace platform
