// Entry of every test executable that has scenarios: "--scenario NAME" runs
// one scenario in this process, anything else runs the GoogleTest cases.

#include <gtest/gtest.h>

#include <cstring>

#include "scenario.h"

namespace norvale_test {

std::map<std::string, Scenario>& scenarios() {
  static std::map<std::string, Scenario> registry;
  return registry;
}

}  // namespace norvale_test

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--scenario") == 0) {
    auto& registry = norvale_test::scenarios();
    auto it = registry.find(argv[2]);
    if (it == registry.end()) {
      std::fprintf(stderr, "unknown scenario %s\n", argv[2]);
      return 98;
    }
    return it->second();
  }
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
