#include "nvs/index/url_section.h"

#include "nvs/index/cursor.h"
#include "nvs/index/error.h"
#include "nvs/index/url_find.h"

namespace nv::nvs::index {

namespace {

template <int Type>
class url_impl_t final : public url_t::impl_t {
public:
    static constexpr std::uint32_t record_bytes = Type == 4 ? 19 : 27;

    explicit url_impl_t(const content_t& content) : content_(&content)
    {
        const auto section = content.section(content_t::type_t(Type));
        if (!section)
            return;
        if (section->size % record_bytes != 0)
            throw_error(error_t::bad_file_format);
        if constexpr (Type == 5)
            check_lists(content, *section);
        // The map only sorts the runs and drops repeated pairs; the flat list is
        // all that is kept, a tree node per run costing more than the run.
        url_t::group_map_t groups;
        group(*section, groups);
        for (const auto& [level, depths] : groups)
            for (const auto& [depth, run] : depths)
                runs_.push_back({level, depth, run});
        runs_.shrink_to_fit();
    }

    match_t find(context_t& context) const override { return find_url_records<Type>(*content_, runs_, context); }
    std::uint32_t size() const override { return size_; }
    url_t::group_map_t groups() const override
    {
        url_t::group_map_t groups;
        for (const auto& r : runs_)
            groups[r.level].emplace(r.depth, r.run);
        return groups;
    }
    const url_t::run_list_t& runs() const override { return runs_; }
    std::uint32_t record_size() const override { return record_bytes; }

private:
    // Every list a record refers to must lie inside the type 0 section.
    static void check_lists(const content_t& content, const content_t::section_t& section)
    {
        const auto params = content.section(content_t::type_t::params);
        for (std::uint32_t at = 0; at < section.size; at += record_bytes) {
            const std::uint8_t* record = section.data + at;
            const std::uint32_t offset = load32(record + 19), lists = load32(record + 23);
            if (lists == 0)
                continue;
            if (!params || params->size == 0 || offset > params->size)
                throw_error(error_t::bad_file_format);
            // Each list takes at least its count byte, which bounds the walk.
            if (lists > params->size - offset)
                throw_error(error_t::bad_file_format);
            cursor_t cursor(params->data + offset, params->size - offset);
            for (std::uint32_t i = 0; i < lists; ++i)
                cursor.skip(std::size_t(cursor.read8()) * 16);
        }
    }

    void group(const content_t::section_t& section, url_t::group_map_t& groups)
    {
        const std::uint8_t* first = nullptr;
        std::uint32_t count = 0;
        unsigned level = 0, depth = 0;
        const auto close = [&] {
            if (first)
                groups[level].try_emplace(depth, url_t::run_t{first, count});
        };
        for (std::uint32_t at = 0; at < section.size; at += record_bytes) {
            const std::uint8_t* record = section.data + at;
            if (!first || record_level(record) != level || record_depth(record) != depth) {
                close();
                first = record;
                count = 0;
                level = record_level(record);
                depth = record_depth(record);
            }
            ++count;
            ++size_;
        }
        close();
    }

    const content_t* content_;
    std::uint32_t size_ = 0;
    url_t::run_list_t runs_;
};

} // namespace

url_t::url_t(const content_t& content, content_t::type_t type)
{
    if (type == content_t::type_t::urls)
        impl_ = std::make_unique<url_impl_t<4>>(content);
    else if (type == content_t::type_t::urls_with_params)
        impl_ = std::make_unique<url_impl_t<5>>(content);
    else
        throw std::invalid_argument("index::url_t: section type must be urls or urls_with_params");
}

} // namespace nv::nvs::index
