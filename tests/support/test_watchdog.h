// Every test binary built by kelvo_add_test carries a watchdog: a test that runs longer than its limit
// (KELVO_TEST_WATCHDOG_SECONDS, 60 by default) is ended with the stacks of all its threads, instead of hanging until
// the CTest time-out with nothing to show.
#pragma once

#include <chrono>

namespace kelvotest {

// Gives the running test `limit` from now instead, for a test that is long
// by design.
void AllowTestTime(std::chrono::seconds limit);

}  // namespace kelvotest
