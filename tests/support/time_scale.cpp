#include "tests/support/time_scale.h"

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace nv::test {

namespace {

double read_time_scale()
{
    const char* text = std::getenv("NORVA_TEST_TIME_SCALE");
    if (!text || !*text)
        return 1.0;
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    // A typo must not quietly shorten or disable every limit.
    if (*end != '\0' || !std::isfinite(value) || value < 1.0 || value > 100.0)
        throw std::invalid_argument("NORVA_TEST_TIME_SCALE must be a number from 1 to 100, not \"" +
                                    std::string(text) + "\"");
    return value;
}

}  // namespace

double time_scale()
{
    static const double scale = read_time_scale();
    return scale;
}

std::chrono::milliseconds scaled(std::chrono::milliseconds limit)
{
    return std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(std::ceil(limit.count() * time_scale())));
}

}  // namespace nv::test
