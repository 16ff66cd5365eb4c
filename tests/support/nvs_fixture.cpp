#include "tests/support/nvs_fixture.h"

#include "nvs/file.h"

#include <boost/system/system_error.hpp>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace nv::nvs::test {

std::string test_private_key_path() { return std::string(NORVA_SOURCE_DIR) + "/keys/test-private-DO-NOT-USE.pem"; }
std::string test_public_key_path() { return std::string(NORVA_SOURCE_DIR) + "/keys/test-public.pem"; }

const index::dsa_key_t& test_key()
{
    static const index::dsa_key_t key = index::dsa_key_t::read_private_pem(test_private_key_path());
    return key;
}

temp_dir_t::temp_dir_t()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "norva-nvs-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir_t::~temp_dir_t()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string temp_dir_t::file(std::string_view name) const { return path_ + "/" + std::string(name); }

void write_file(const std::string& path, const bytes_t& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void write_text(const std::string& path, std::string_view text)
{
    write_file(path, bytes_t(text.begin(), text.end()));
}

bytes_t database(const std::map<unsigned, bytes_t>& sections, std::string_view name, const index::header_date_t& date)
{
    std::vector<bytes_t> by_index(sections.empty() ? 0 : sections.rbegin()->first + 1);
    for (const auto& [i, bytes] : sections)
        by_index[i] = bytes;
    return index::assemble(by_index, date, name, test_key());
}

bytes_t signed_layout(const std::vector<std::uint32_t>& table, std::string_view name, const bytes_t& body,
                      std::size_t signed_size)
{
    bytes_t image = index::header_bytes(table, {2024, 1, 2, 3, 4, 5}, name);
    image.insert(image.end(), body.begin(), body.end());
    if (image.size() < signed_size)
        image.resize(signed_size, 0);
    index::append_signature(image, test_key());
    return image;
}

bytes_t bytes_of(std::string_view text) { return bytes_t(text.begin(), text.end()); }

bytes_t deflate_raw(std::string_view text, bool final_block)
{
    z_stream s{};
    if (deflateInit2(&s, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    bytes_t out(deflateBound(&s, uLong(text.size())) + 64);
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    s.avail_in = uInt(text.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    const int result = deflate(&s, final_block ? Z_FINISH : Z_SYNC_FLUSH);
    out.resize(out.size() - s.avail_out);
    deflateEnd(&s);
    if (result != (final_block ? Z_STREAM_END : Z_OK))
        throw std::runtime_error("deflate failed");
    return out;
}

boost::system::error_code open_error(const std::string& path, std::string* what)
{
    try {
        const file_t file(path);
        return {};
    } catch (const boost::system::system_error& e) {
        if (what)
            *what = e.what();
        return e.code();
    }
}

boost::system::error_code open_bytes_error(const temp_dir_t& dir, const bytes_t& bytes)
{
    const std::string path = dir.file("test.nvs");
    write_file(path, bytes);
    return open_error(path);
}

} // namespace nv::nvs::test
