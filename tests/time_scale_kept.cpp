// Every test program ends at the time scale it started with, the one the run chose
// (TREVASK_TIME_SCALE: smaller here, larger under an emulator): a test that needs another scale sets
// it for its own scope only, and the tests after it in the same program run at the run's scale.
#include <gtest/gtest.h>

#include "platform/clock.h"

namespace {

class TimeScaleKept : public ::testing::Environment {
 public:
  void SetUp() override { found_ = platform::TimeScale(); }
  void TearDown() override {
    EXPECT_EQ(platform::TimeScale(), found_) << "a test left the time scale it set behind";
  }

 private:
  double found_ = 0;
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new TimeScaleKept);

}  // namespace
