#include "exchange/section_lifetime.h"

#include <string_view>

#include "exchange/sections.h"
#include "platform/shared_memory.h"

namespace exchange {

bool IsSectionObject(const std::string& object_name) {
  for (const SectionSpec& s : kSections) {
    const std::string_view suffix = s.suffix;
    if (object_name.size() > suffix.size() && object_name[0] == '/' &&
        object_name.compare(object_name.size() - suffix.size(), suffix.size(), suffix) == 0)
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
