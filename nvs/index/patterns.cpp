#include "nvs/index/patterns.h"

#include "nvs/index/error.h"

#include <cstring>

namespace nv::nvs::index {

patterns_t::patterns_t(const content_t& content) : content_(&content)
{
    const auto section = content.section(content_t::type_t::patterns);
    if (!section || section->size == 0)
        return;
    const char* p = reinterpret_cast<const char*>(section->data);
    const char* const end = p + section->size;
    if (end[-1] != '\0')
        throw_error(error_t::bad_file_format);
    while (p != end) {
        const std::size_t length = std::strlen(p); // stops at the section's last byte at the latest
        patterns_.emplace_back(p, length);
        p += length + 1;
    }
    patterns_.shrink_to_fit(); // kept as long as the database
    automaton_ = std::make_unique<const pattern_automaton_t>(patterns_);
}

match_t patterns_t::find(std::string_view text) const noexcept
{
    if (!automaton_)
        return {};
    const std::uint32_t i = automaton_->find(text);
    if (i == pattern_automaton_t::none)
        return {};
    return {true, content_->offset_of(patterns_[i].data())};
}

} // namespace nv::nvs::index
