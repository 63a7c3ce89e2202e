// Runs the tests under the locale of the environment, so that a run with
// LC_ALL set to a comma-decimal locale checks every text in that locale.
#include <gtest/gtest.h>

#include <clocale>

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
