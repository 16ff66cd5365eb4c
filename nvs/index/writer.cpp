#include "nvs/index/writer.h"

#include "nvs/index/signature.h"

#include <zlib.h>

#include <limits>
#include <stdexcept>

namespace nv::nvs::index {

void put8(bytes_t& out, std::uint8_t v) { out.push_back(v); }

void put16(bytes_t& out, std::uint16_t v)
{
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

void put32(bytes_t& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(std::uint8_t(v >> shift));
}

void put_bytes(bytes_t& out, const void* data, std::size_t size)
{
    const auto* p = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), p, p + size);
}

std::size_t header_size(std::size_t table_entries, std::size_t name_length) noexcept
{
    return 8 + 4 * table_entries + 10 + name_length + 1;
}

bytes_t header_bytes(const std::vector<std::uint32_t>& table, const header_date_t& date, std::string_view name)
{
    bytes_t out;
    out.reserve(header_size(table.size(), name.size()));
    put_bytes(out, "NVS", 4);
    put32(out, std::uint32_t(table.size()));
    for (const auto offset : table)
        put32(out, offset);
    put16(out, 0);
    put16(out, date.year);
    put8(out, date.month);
    put8(out, date.day);
    put8(out, date.hour);
    put8(out, date.minute);
    put8(out, date.second);
    put8(out, 0);
    put_bytes(out, name.data(), name.size());
    put8(out, 0);
    return out;
}

void append_signature(bytes_t& image, const dsa_key_t& key)
{
    const auto signature = sign(key, image);
    image.insert(image.end(), signature.begin(), signature.end());
}

std::vector<std::uint32_t> section_offsets(const std::vector<std::size_t>& sizes, std::size_t header_length)
{
    std::vector<std::uint32_t> offsets;
    std::uint64_t at = header_length;
    for (const auto size : sizes) {
        offsets.push_back(size ? std::uint32_t(at) : 0);
        at += size;
        // Offsets and the file size are 32-bit, signature included.
        if (at + 40 > std::numeric_limits<std::uint32_t>::max())
            throw std::length_error("database file would reach 4 GiB");
    }
    return offsets;
}

bytes_t deflate_notice(std::string_view text)
{
    z_stream s{};
    if (deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::bad_alloc();
    bytes_t out(deflateBound(&s, uLong(text.size())) + 16);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.avail_in = uInt(text.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    // A sync flush ends the data with an empty non-final stored block.
    const int result = deflate(&s, Z_SYNC_FLUSH);
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    if (result != Z_OK || s.avail_in != 0)
        throw std::runtime_error("deflate of a notice failed");
    return out;
}

bytes_t assemble(const std::vector<bytes_t>& sections, const header_date_t& date, std::string_view name,
                 const dsa_key_t& key)
{
    std::vector<std::size_t> sizes;
    std::size_t total = 0;
    for (const auto& s : sections) {
        sizes.push_back(s.size());
        total += s.size();
    }
    const auto offsets = section_offsets(sizes, header_size(sections.size(), name.size()));
    bytes_t image = header_bytes(offsets, date, name);
    image.reserve(image.size() + total + 40);
    for (const auto& s : sections)
        image.insert(image.end(), s.begin(), s.end());
    append_signature(image, key);
    return image;
}

} // namespace nv::nvs::index
