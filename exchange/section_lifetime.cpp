#include "exchange/section_lifetime.h"

#include <string_view>

#include "exchange/sections.h"
#include "platform/shared_memory.h"

namespace exchange {

bool IsSectionObject(const std::string& object_name) {
  // A section's doorbells keep their counts of queued waits beside it, under its name and this.
  constexpr std::string_view kCounts = "Doorbells";
  std::string_view name = object_name;
  if (name.size() > kCounts.size() && name.substr(name.size() - kCounts.size()) == kCounts)
    name.remove_suffix(kCounts.size());
  for (const SectionSpec& s : kSections) {
    const std::string_view suffix = s.suffix;
    if (name.size() > suffix.size() && name[0] == '/' && name.substr(name.size() - suffix.size()) == suffix)
      return true;
  }
  return false;
}

std::size_t ReclaimLeftoverSections() {
  // Where the system removes them with their last holder, nothing is ever left to reclaim.
  if (!platform::SectionsOutliveKilledHolders()) return 0;
  return platform::ReclaimSharedObjects(&IsSectionObject);
}

}  // namespace exchange
