#include <clocale>

#include <gtest/gtest.h>

#include "runtime/Threads.h"

int main(int argc, char** argv) {
  // Tests run in a UTF-8 locale unless they switch to another one themselves.
  std::setlocale(LC_ALL, "C.UTF-8");
  SetMainThread();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
