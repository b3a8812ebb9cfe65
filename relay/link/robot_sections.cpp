// The robot's sections, opened under its name at each connect: the producers the receive path
// writes, and the command ring this relay claims.
#include "exchange/section_lifetime.h"
#include "exchange/sections.h"
#include "platform/shared_memory.h"
#include "relay/link/link_manager.h"

namespace relay {
// The dialog's robot ID field as a section prefix: its first line, at most 29 bytes, cut before a
// UTF-8 character rather than inside it.
std::string RobotPrefix(const std::string& field, bool& shortened) {
  std::string first = field.substr(0, field.find_first_of("\r\n"));
  shortened = first.size() > exchange::kRobotNameMax;
  return exchange::Utf8Prefix(first, exchange::kRobotNameMax);
}

bool CLinkManager::OpenSections(const std::string& robot_field) {
  bool shortened = false;
  const std::string prefix = RobotPrefix(robot_field, shortened);
  receive_path_.dispatch().SetProducers(nullptr);
  producers_.reset();
  // Sections that killed relays and clients left behind, of any robot name, go before ours open.
  exchange::ReclaimLeftoverSections();
  // Ours, when another process resized them while the link was down, get their sizes back first:
  // every client that opens them meanwhile is refused.
  if (platform::SectionsCanBeCutShort()) platform::RestoreSharedSizes();
  if (shortened && noted_name_ != robot_field) {
    noted_name_ = robot_field;
    events_.Message(
        MessageKind::kDetail,
        "the robot name is cut to " + std::to_string(exchange::kRobotNameMax) + " bytes: '" + prefix + "'");
  }
  auto producers = std::make_unique<RelayProducers>();
  LinkStatus commands = LinkStatus::kOk;
  std::string failed;
  const platform::Status status = producers->Open(
      prefix,
      [&] {
        platform::Status s = platform::Status::kOk;
        commands = forwarder_.Open(prefix, s);
        return s;
      },
      &failed);
  if (status != platform::Status::kOk)
    events_.Message(MessageKind::kDetail, RelayProducers::Problem(prefix, status, failed));
  if (commands == LinkStatus::kClaimedElsewhere) {
    // Two relays for one name would mix two robots in one set of rings.
    events_.Message(MessageKind::kFailure, "Robot '" + prefix + "' is already served by another relay.\n");
    events_.GaveUp();
    gave_up_.store(true, std::memory_order_release);
    RequestStop();
    return false;
  }
  producers_ = std::move(producers);
  receive_path_.dispatch().SetProducers(producers_.get());
  return true;
}

}  // namespace relay
