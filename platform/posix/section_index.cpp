#include "platform/posix/section_index.h"

#include <atomic>
#include <map>
#include <mutex>

namespace platform {
namespace {

struct View {
  std::size_t size;
  std::string name;
};

struct Index {
  std::mutex mutex;
  std::map<const unsigned char*, View> views;  // by first byte
};

Index& Views() {
  static Index* index = new Index;  // never destroyed: views may be unmapped during static destruction
  return *index;
}

// Release with each change, acquire by readers: a reader that sees the new count also finds the
// index as it stands after the change.
std::atomic<uint64_t> views_changed{0};

}  // namespace

uint64_t SectionsChanged() {
  return views_changed.load(std::memory_order_acquire);
}

bool FindSection(const void* address, std::string& name, std::size_t& offset) {
  const auto* byte = static_cast<const unsigned char*>(address);
  Index& index = Views();
  std::lock_guard<std::mutex> guard(index.mutex);
  auto it = index.views.upper_bound(byte);
  if (it == index.views.begin()) return false;
  --it;
  if (byte >= it->first + it->second.size) return false;
  name = it->second.name;
  offset = static_cast<std::size_t>(byte - it->first);
  return true;
}

void NoteView(const unsigned char* data, std::size_t size, const std::string& name) {
  Index& index = Views();
  std::lock_guard<std::mutex> guard(index.mutex);
  index.views[data] = View{size, name};
  views_changed.fetch_add(1, std::memory_order_release);
}

void ForgetView(const unsigned char* data) {
  Index& index = Views();
  std::lock_guard<std::mutex> guard(index.mutex);
  index.views.erase(data);
  views_changed.fetch_add(1, std::memory_order_release);
}

}  // namespace platform
