#include "tests/support/fake_application.h"

namespace nv::test {

void fake_application_t::apply_config(const UrlCheckConfig& config)
{
    if (apply_failure)
        apply_failure();
    applied.push_back(config);
    holder_.config = config;
    holder_.applied();
}

std::exception_ptr fake_application_t::run_for(std::chrono::milliseconds period)
{
    try {
        event_loop_.restart();
        event_loop_.run_for(period);
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

}  // namespace nv::test
