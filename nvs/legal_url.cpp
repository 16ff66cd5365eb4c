// The legal alternative URL of a piracy notice.
#include "nvs/file.h"

#include <json.h>

#include <memory>

namespace nv::nvs {

namespace {

struct json_free_t {
    void operator()(json_value* value) const noexcept { json_value_free(value); }
};

using json_ptr_t = std::unique_ptr<json_value, json_free_t>;

constexpr std::string_view legal_url_member = "legalURL";

} // namespace

std::string file_t::legal_url(std::uint32_t record_offset) const
{
    const std::string* notice = legal_info_.find(record_offset);
    if (!notice)
        return {};
    const json_ptr_t root(json_parse(notice->data(), notice->size()));
    if (!root || root->type != json_object)
        return {};
    for (unsigned i = 0; i < root->u.object.length; ++i) {
        const auto& entry = root->u.object.values[i];
        if (std::string_view(entry.name, entry.name_length) != legal_url_member)
            continue;
        if (entry.value->type != json_string)
            return {};
        return std::string(entry.value->u.string.ptr, entry.value->u.string.length);
    }
    return {};
}

} // namespace nv::nvs
