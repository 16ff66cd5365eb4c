#include "common/error.h"

#include "proto/annotation.pb.h"

namespace nv {

const char* cf_proto_error_impl_t::name() const noexcept { return "nv.Error"; }

std::string cf_proto_error_impl_t::message(int value) const
{
    if (auto text = error_code_text(value))
        return std::move(*text);
    return "nv.Error " + std::to_string(value);
}

const boost::system::error_category& proto_error_category() noexcept
{
    static const cf_proto_error_impl_t instance;
    return instance;
}

boost::system::error_code make_error_code(ErrorCode code) noexcept
{
    return {static_cast<int>(code), proto_error_category()};
}

std::optional<std::string> error_code_text(int value)
{
    const auto* entry = ErrorCode_descriptor()->FindValueByNumber(value);
    if (!entry)
        return std::nullopt;
    const auto& options = entry->options();
    if (options.HasExtension(lex))
        return options.GetExtension(lex);
    return entry->name();
}

}  // namespace nv
