// A folder of one test program's own, emptied before its first test and removed after its last.
// Names built from the process number come back within a run of the suite (process numbers are
// reused), so whatever an earlier program left there must not reach this one.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>

namespace testing_support {

class ProgramFolder : public ::testing::Environment {
 public:
  explicit ProgramFolder(std::string path) : path_(std::move(path)) {}
  void SetUp() override {
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  void TearDown() override { std::filesystem::remove_all(path_); }

 private:
  std::string path_;
};

// Registers the folder with the test program and returns its path.
inline std::string AddProgramFolder(const std::string& path) {
  ::testing::AddGlobalTestEnvironment(new ProgramFolder(path));
  return path;
}

}  // namespace testing_support
