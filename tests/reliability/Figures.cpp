#include "tests/reliability/Figures.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>

namespace harbrite::test {

namespace {

std::map<std::string, long long>& figures() {
  static auto* all = new std::map<std::string, long long>;
  return *all;
}

class FiguresReport : public ::testing::Environment {
 public:
  void TearDown() override {
    for (const auto& [name, amount] : figures()) {
      std::cout << "figure: " << name << ": " << amount << "\n";
      ::testing::Test::RecordProperty(name, std::to_string(amount));
    }
  }
};

[[maybe_unused]] ::testing::Environment* const report =
    ::testing::AddGlobalTestEnvironment(new FiguresReport);

}  // namespace

void addFigure(const std::string& name, long long amount) {
  figures()[name] += amount;
}

}  // namespace harbrite::test
