#pragma once
// Writing database files: the header, the section table and the signature.
// The counterpart of content_t, for the database tool and for tests that need
// exact layouts.

#include "nvs/index/dsa_key.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace nv::nvs::index {

using bytes_t = std::vector<std::uint8_t>;

struct header_date_t {
    std::uint16_t year = 1970;
    std::uint8_t month = 1, day = 1, hour = 0, minute = 0, second = 0;
};

void put8(bytes_t& out, std::uint8_t v);
void put16(bytes_t& out, std::uint16_t v);
void put32(bytes_t& out, std::uint32_t v);
void put_bytes(bytes_t& out, const void* data, std::size_t size);

// The length of a header with this many table entries and a name of this length.
std::size_t header_size(std::size_t table_entries, std::size_t name_length) noexcept;

// Magic, section count, the table as given (0 = absent), date and name with its zero byte.
bytes_t header_bytes(const std::vector<std::uint32_t>& table, const header_date_t& date, std::string_view name);

// Signs everything in the image so far and appends the 40 signature bytes.
void append_signature(bytes_t& image, const dsa_key_t& key);

// The offsets that sections of these sizes get when stored in table order
// right after the header (0 for an empty, that is absent, section).
std::vector<std::uint32_t> section_offsets(const std::vector<std::size_t>& sizes, std::size_t header_length);

// A notice as databases store it: raw deflate ending in a non-final block, so
// that the reader sees an unfinished stream.
bytes_t deflate_notice(std::string_view text);

// A complete signed file: the header, the non-empty sections in table order
// (an empty one is absent from the table), the signature.
bytes_t assemble(const std::vector<bytes_t>& sections, const header_date_t& date, std::string_view name,
                 const dsa_key_t& key);

} // namespace nv::nvs::index
