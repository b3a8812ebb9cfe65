// Named shared memory that behaves like a named kernel object of the design: it lives while any
// process holds it and is new again once every holder has ended, killed ones included.
//
// Each process keeps the object's descriptor open, with a shared lock on it, from its first open
// until it ends. An opener that gets the exclusive lock without waiting is the only holder, so
// whatever the object holds is left from processes that have all ended: it is zeroed and reported as
// created. Views come and go with their owners; the object stays with the process, as the design's
// mapping objects do, so a section keeps its contents across a reconnect in the same process.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

enum class ShmStatus {
  kOk,
  kBadName,    // not "/" + 1..254 bytes without another "/"
  kOpenFailed,  // shm_open, locking or resizing refused (errno tells why)
  kWrongSize,   // the object exists with another size; it is never mapped short
  kMapFailed,
  kForeign,  // the object belongs to another user
};

const char* ShmStatusText(ShmStatus status);

// A mapped view of a named object. Move-only; unmaps on destruction.
class SharedView {
 public:
  SharedView() = default;
  ~SharedView() { Reset(); }
  SharedView(SharedView&& other) noexcept;
  SharedView& operator=(SharedView&& other) noexcept;
  SharedView(const SharedView&) = delete;
  SharedView& operator=(const SharedView&) = delete;

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  bool valid() const { return data_ != nullptr; }
  void Reset();

 private:
  friend ShmStatus OpenSharedView(const std::string&, std::size_t, SharedView&, bool&);
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Opens (creating when needed) the object `name` of exactly `size` bytes and maps all of it for
// reading and writing into `out`. `created` is true when this call made the object new (zeroed).
// A later open of the same name in the same process reports created = false.
ShmStatus OpenSharedView(const std::string& name, std::size_t size, SharedView& out, bool& created);

// Removes the names of objects this process holds alone. Runs at normal exit by itself; callable
// earlier by a program that is about to end. Views stay mapped.
void ReleaseSharedObjects();

}  // namespace platform
