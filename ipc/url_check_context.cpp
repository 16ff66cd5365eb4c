#include "ipc/url_check_context.h"

#include <string>

#include "common/log.h"
#include "proto/annotation.pb.h"

namespace uc {

std::string url_category_text(nv::UrlCategory category)
{
    const auto* value = nv::UrlCategory_descriptor()->FindValueByNumber(category);
    if (!value)
        return std::to_string(static_cast<int>(category));
    if (value->options().HasExtension(nv::lex))
        return value->options().GetExtension(nv::lex);
    return value->name();
}

std::string verdict_summary(const nv::nvs::report_t& report, const boost::system::error_code& error)
{
    if (error)
        return "Error: " + error.message();
    if (report.categories == 0)
        return "None";
    std::string text;
    for (const nv::UrlCategory category : nv::nvs::url_categories_of(report.categories)) {
        if (!text.empty())
            text += ", ";
        text += url_category_text(category);
    }
    return text;
}

void url_check_context_t::complete(const nv::nvs::report_t& report, const boost::system::error_code& error,
                                   source_t source)
{
    if (nv::log_enabled(nv::log_debug)) {
        std::string line = "Check URL: ";
        line += url->str(nv::nvs::url_t::format_t::escaped);
        line += " - ";
        line += verdict_summary(report, error);
        line += source == source_t::cloud ? " (cloud)" : " (nvs)";
        nv::log_message(nv::log_debug, line);
    }
    callback(report, error);
}

}  // namespace uc
