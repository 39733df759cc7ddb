// Entry point of every test program.
#include <gtest/gtest.h>

#include <thread>

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // ThreadSanitizer starts a helper thread of its own when the process creates its first
  // thread. Tests that compare the process's thread count before and after a port's life
  // would count it as a leaked thread, so let it start before any test takes its baseline.
  std::thread([] {}).join();
  return RUN_ALL_TESTS();
}
