#include "nvs/index/content.h"

#include "nvs/index/cursor.h"
#include "nvs/index/error.h"
#include "nvs/index/signature.h"

#include <cstdio>
#include <cstring>

namespace nv::nvs::index {

content_t::type_t section_type_of_index(std::uint32_t index) noexcept
{
    return content_t::type_t(index < 10 ? index : 10);
}

std::string date_text(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second)
{
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", year, month, day, hour, minute, second);
    return text;
}

error_t check_container(const std::uint8_t* data, std::uint32_t size)
{
    if (size < minimum_file_size)
        return error_t::bad_file_format;
    if (std::memcmp(data, "NVS", 4) != 0)
        return error_t::bad_file_format;
#ifndef NORVA_FUZZ_UNSIGNED_DATABASES
    const std::uint32_t signed_size = size - signature_bytes;
    if (!verify_signature(built_in_key(), {data, signed_size},
                          std::span<const std::uint8_t, signature_size>(data + signed_size, signature_size)))
        return error_t::bad_file_signature;
#else
    // Fuzzing builds only (fuzz/CMakeLists.txt refuses anything else): mutated
    // files almost never carry a valid signature, and what lies behind this
    // check is what the fuzzer is after.
#if !defined(__clang__) || !__has_feature(address_sanitizer)
#error "unsigned databases are for the sanitized fuzzing build only"
#endif
#endif
    return error_t::success;
}

namespace {

const io::mapped_file_t& with_container_checked(const io::mapped_file_t& file)
{
    if (const auto e = check_container(file.data(), file.size()); e != error_t::success)
        throw_error(e);
    return file;
}

} // namespace

content_t::content_t(const io::mapped_file_t& file) : content_t(with_container_checked(file), container_checked_t{})
{
}

content_t::content_t(const io::mapped_file_t& file, container_checked_t) : file_(&file)
{
    const std::uint8_t* const data = file.data();
    const std::uint32_t size = file.size();
    const std::uint32_t signed_size = size - signature_bytes;

    // Every header read stays inside the signed area: the cursor refuses to run
    // past it, so a table, date or name that does not fit is a format error.
    cursor_t cursor(data, signed_size);
    cursor.skip(4);
    const std::uint32_t count = cursor.read32();
    if (count > cursor.left() / 4)
        throw_error(error_t::bad_file_format);
    // Not reserved by the count: most entries are absent, and a count made up
    // to fill a large file would ask for four times its size at once.
    for (std::uint32_t index = 0; index < count; ++index) {
        const std::uint32_t offset = cursor.read32();
        if (offset == 0)
            continue;
        if (!table_.empty())
            table_.back().size = std::int64_t(offset) - table_.back().offset;
        table_.push_back({index, section_type_of_index(index), offset, 0});
    }
    if (!table_.empty())
        table_.back().size = std::int64_t(signed_size) - table_.back().offset;
    table_.shrink_to_fit(); // kept as long as the database

    cursor.skip(2);
    const unsigned year = cursor.read16();
    const unsigned month = cursor.read8(), day = cursor.read8(), hour = cursor.read8();
    const unsigned minute = cursor.read8(), second = cursor.read8();
    cursor.skip(1);
    name_ = std::string(cursor.read_string());
    date_ = date_text(year, month, day, hour, minute, second);

    constexpr std::string_view prefix = "whitelist_";
    whitelist_ = std::string_view(name_).starts_with(prefix);
    category_ = category_of_name(whitelist_ ? std::string_view(name_).substr(prefix.size()) : std::string_view(name_));

    for (const auto& entry : table_) {
        // In 64-bit arithmetic: neither the sum nor a negative size can wrap.
        if (entry.size < 0 || std::int64_t(entry.offset) + entry.size > std::int64_t(size))
            throw_error(error_t::bad_file_format);
        sections_.try_emplace(entry.type, section_t{data + entry.offset, std::uint32_t(entry.size)});
    }
}

std::optional<content_t::section_t> content_t::section(type_t type) const
{
    const auto it = sections_.find(type);
    if (it == sections_.end())
        return std::nullopt;
    return it->second;
}

} // namespace nv::nvs::index
