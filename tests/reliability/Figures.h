// The figures the reliability suite reports (faults injected, crash trials, cycles, lost
// updates): printed as "figure: NAME: AMOUNT" lines when the test program ends, and recorded as
// properties of the run.
#pragma once

#include <string>

namespace harbrite::test {

void addFigure(const std::string& name, long long amount);

}  // namespace harbrite::test
