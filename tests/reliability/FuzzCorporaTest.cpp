// The fuzzers' committed corpora, replayed through the same checks in the normal suite: the
// seeds, and every input that once failed a check (named "regression-...").
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/fuzz/Properties.h"
#include "tests/reliability/Files.h"

namespace harbrite::test {
namespace {

using Check = std::string (*)(const std::uint8_t*, std::size_t);

TEST(FuzzCorpora, EveryCommittedInputPassesItsCheck) {
  const struct {
    const char* corpus;
    Check check;
  } targets[] = {{"line_rules", &fuzz::checkLineRules},
                 {"preferences", &fuzz::checkPreferencesReading},
                 {"root_prefix", &fuzz::checkRootPrefixPaths},
                 {"scenario", &fuzz::checkScenarioParsing},
                 {"group_walk", &fuzz::checkGroupWalk},
                 {"device_confinement", &fuzz::checkDeviceConfinement}};
  for (const auto& target : targets) {
    SCOPED_TRACE(target.corpus);
    int inputs = 0;
    for (const auto& entry : std::filesystem::directory_iterator(
             std::string(HARBRITE_FUZZ_CORPORA) + "/" + target.corpus)) {
      const std::string bytes = bytesOf(entry.path().string());
      EXPECT_EQ(target.check(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()), "")
          << entry.path().filename();
      ++inputs;
    }
    EXPECT_GE(inputs, 4);
  }
}

}  // namespace
}  // namespace harbrite::test
