#include "fuzz/support/fuzz_application.h"

#include <cstdlib>
#include <memory>
#include <utility>

namespace nv::fuzz {

void counting_checker_t::check(uc::url_check_context_t&& context)
{
    ++in_progress_;
    auto once = std::make_shared<bool>(false);
    context.callback = [this, once, callback = std::move(context.callback)](const nvs::report_t& report,
                                                                           const boost::system::error_code& error) {
        if (*once)
            std::abort();
        *once = true;
        --in_progress_;
        ++completed_;
        if (callback)
            callback(report, error);
    };
    next_.check(std::move(context));
}

} // namespace nv::fuzz
