#include "relay/link/receive_path.h"

#include "exchange/acceptance.h"
#include "exchange/frame.h"

namespace relay {

void CReceivePath::HandleFrame(const uint8_t* frame, std::size_t length) {
  if (recorder_ != nullptr) recorder_->Record(Direction::kInbound, frame, length);
  const exchange::FrameVerdict verdict = exchange::CheckFrame(frame, length);
  if (verdict == exchange::FrameVerdict::kAccepted && accepted_ != nullptr &&
      !accepted_->OnAcceptedFrame(frame[exchange::kOffDataType])) {
    stats_.CountOtherSource();
    return;
  }
  stats_.CountCandidate(verdict, length > exchange::kOffDataType ? frame[exchange::kOffDataType] : 0);
  if (verdict != exchange::FrameVerdict::kAccepted) return;
  dispatch_.Dispatch(frame, length);
}

}  // namespace relay
