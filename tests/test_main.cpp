// The test programs' entry: the tests, or with "--child ..." a helper the tests start as a process of
// its own (see ChildMain).
#include <gtest/gtest.h>

#include <cstring>

int ChildMain(int argc, char** argv);

// Programs without child helpers.
__attribute__((weak)) int ChildMain(int, char**) {
  return 2;
}

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) return ChildMain(argc - 2, argv + 2);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
