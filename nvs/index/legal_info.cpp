#include "nvs/index/legal_info.h"

#include "nvs/index/cursor.h"
#include "nvs/index/error.h"

#include <zlib.h>

namespace nv::nvs::index {

namespace {

class inflater_t {
public:
    inflater_t()
    {
        if (inflateInit2(&stream_, -15) != Z_OK)
            throw_error(error_t::bad_file_format);
    }
    ~inflater_t() { inflateEnd(&stream_); }
    inflater_t(const inflater_t&) = delete;
    inflater_t& operator=(const inflater_t&) = delete;

    z_stream* operator->() noexcept { return &stream_; }
    z_stream* get() noexcept { return &stream_; }

private:
    z_stream stream_{};
};

} // namespace

std::string inflate_notice(const std::uint8_t* data, std::uint32_t size)
{
    constexpr std::size_t step = 4096;
    inflater_t inflater;
    inflater->next_in = const_cast<Bytef*>(data);
    inflater->avail_in = size;
    std::string out;
    // Notices are streams without a final block, so the end of the input is
    // the end of the notice. Output still held by the inflater when the input
    // is used up is collected too, so that a notice of any length comes whole.
    for (;;) {
        const std::size_t used = out.size();
        out.resize(used + step);
        inflater->next_out = reinterpret_cast<Bytef*>(out.data() + used);
        inflater->avail_out = step;
        const int result = inflate(inflater.get(), Z_NO_FLUSH);
        out.resize(used + step - inflater->avail_out);
        if (result == Z_BUF_ERROR && inflater->avail_in == 0)
            break; // nothing left to give after a full output step
        if (result != Z_OK)
            throw_error(error_t::bad_file_format);
        if (inflater->avail_in == 0 && inflater->avail_out != 0)
            break;
    }
    return out;
}

legal_info_t::legal_info_t(const content_t& content)
{
    const auto section = content.section(content_t::type_t::legal_info);
    if (!section || section->size == 0)
        return;
    const std::uint8_t* const base = section->data;
    const std::uint32_t size = section->size;
    if (size < 4)
        throw_error(error_t::bad_file_format);
    const std::uint32_t count = load32(base);
    if (count > 0 && std::uint64_t(count) * 12 > size - 4)
        throw_error(error_t::bad_file_format);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t key = load32(base + 4 + std::size_t(i) * 4);
        const std::uint32_t blob = load32(base + 4 + std::size_t(count) * 4 + std::size_t(i) * 4);
        if (std::uint64_t(blob) + 4 > size)
            throw_error(error_t::bad_file_format);
        const std::uint32_t length = load32(base + blob);
        if (length == 0)
            continue;
        if (length > size - blob - 4)
            throw_error(error_t::bad_file_format);
        notices_.insert_or_assign(key, inflate_notice(base + blob + 4, length));
    }
}

const std::string* legal_info_t::find(std::uint32_t record_offset) const
{
    const auto it = notices_.find(record_offset);
    return it == notices_.end() ? nullptr : &it->second;
}

} // namespace nv::nvs::index
