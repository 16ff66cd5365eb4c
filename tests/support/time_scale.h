// How long tests wait for what they expect. Builds under a sanitizer run the
// same work several times slower; NORVA_TEST_TIME_SCALE (a factor of at least
// 1, 1 when unset) stretches every limit that only says "give up", so that a
// slow run is not mistaken for a failure. Timings a test measures are not
// stretched.
#pragma once

#include <chrono>

namespace nv::test {

// The factor from NORVA_TEST_TIME_SCALE, read once; 1 when unset. A value
// that is not a number of at least 1 is refused on first use.
double time_scale();

// A limit stretched by time_scale().
std::chrono::milliseconds scaled(std::chrono::milliseconds limit);

}  // namespace nv::test
