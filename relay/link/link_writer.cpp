#include "relay/link/link_writer.h"

#include "exchange/frame.h"

namespace relay {

LinkStatus CLinkWriter::SendBytes(const uint8_t* bytes, int count) {
  platform::LockGuard guard(lock_);
  if (transport_ == nullptr) return LinkStatus::kNotReady;
  const LinkStatus result = transport_->Send(bytes, count);
  if (result == LinkStatus::kOk) {
    stats_.AddBytesOut(static_cast<uint64_t>(count));
    if (recorder_ != nullptr) recorder_->Record(Direction::kOutbound, bytes, static_cast<std::size_t>(count));
  } else {
    stats_.CountNotSent();
  }
  return result;
}

LinkStatus CLinkWriter::Send(uint8_t destination, uint8_t data_type, const uint8_t* payload, std::size_t n) {
  platform::LockGuard guard(lock_);
  exchange::Frame f = exchange::Frame::Make(destination, NextSequence(), data_type, payload, n);
  return SendBytes(f.bytes, static_cast<int>(f.size));
}

}  // namespace relay
