// Every test program removes the section objects its tests made, also when a test failed or a child
// it forked was killed before it could let go of them: at the end of the program, every object in
// /dev/shm whose name is letters, then this process's number, then anything else (the form every
// test's robot names take) is removed. Objects of other programs running alongside are left alone.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <string>

namespace {

bool MadeByThisProgram(const std::string& name, const std::string& pid) {
  std::size_t i = 0;
  while (i < name.size() && std::isalpha(static_cast<unsigned char>(name[i]))) ++i;
  if (i == 0 || name.compare(i, pid.size(), pid) != 0) return false;
  const std::size_t after = i + pid.size();
  return after == name.size() || !std::isdigit(static_cast<unsigned char>(name[after]));
}

class LeftoverSections : public ::testing::Environment {
 public:
  void TearDown() override {
    const std::string pid = std::to_string(getpid());
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
      const std::string name = entry.path().filename().string();
      if (MadeByThisProgram(name, pid)) shm_unlink(("/" + name).c_str());
    }
  }
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new LeftoverSections);

}  // namespace
