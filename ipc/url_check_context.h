// One URL check on its way through the daemon: what to check, which
// categories, and whom to tell. Built by a client session, carried by the
// check engine to the cloud or the databases and completed exactly once.
#pragma once

#include <memory>

#include <boost/system/error_code.hpp>

#include "common/small_function.h"
#include "nvs/index/category.h"
#include "nvs/report.h"
#include "nvs/url/url.h"

namespace uc {

struct url_check_context_t {
    // Move-only; a session's completion (a weak pointer and a serial) lives
    // inside it without an allocation of its own.
    using callback_t = nv::small_function_t<void(const nv::nvs::report_t&, const boost::system::error_code&), 32>;
    // Where a verdict came from; it ends the "Check URL: " line.
    enum class source_t { cloud, nvs };

    url_check_context_t(std::shared_ptr<const nv::nvs::url_t> url, nv::nvs::category_set_t category_mask,
                        callback_t callback)
        : url(std::move(url)), category_mask(category_mask), callback(std::move(callback))
    {
    }
    url_check_context_t(url_check_context_t&&) noexcept = default;
    url_check_context_t& operator=(url_check_context_t&&) noexcept = default;
    url_check_context_t(const url_check_context_t&) = delete;
    url_check_context_t& operator=(const url_check_context_t&) = delete;

    // Logs the verdict at Debug level ("Check URL: <escaped URL> - <summary>
    // (cloud|nvs)") and calls the callback.
    void complete(const nv::nvs::report_t& report, const boost::system::error_code& error, source_t source);

    std::shared_ptr<const nv::nvs::url_t> url;
    nv::nvs::category_set_t category_mask;
    callback_t callback;
};

// The summary of a verdict as the log shows it: "Error: <text>", "None", or
// the category texts in the fixed list order, separated by ", ".
std::string verdict_summary(const nv::nvs::report_t& report, const boost::system::error_code& error);

// The text of a category value: its lex text, else its name.
std::string url_category_text(nv::UrlCategory category);

// Whatever decides URL checks; the client sessions know it only by this.
class url_checker_t {
public:
    virtual ~url_checker_t() = default;
    // Returns at once; the context's callback is called later, once, on the
    // event-loop thread.
    virtual void check(url_check_context_t&& context) = 0;
};

}  // namespace uc
