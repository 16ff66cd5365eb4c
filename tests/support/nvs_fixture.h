#pragma once
// Database files for tests: the repository's test key, a temporary directory
// that removes itself, and signed images with exact layouts.

#include "nvs/index/dsa_key.h"
#include "nvs/index/writer.h"

#include <boost/system/error_code.hpp>

#include <map>
#include <string>
#include <string_view>

namespace nv::nvs::test {

using index::bytes_t;

// The test key pair in keys/ (the built-in key of a default build).
const index::dsa_key_t& test_key();
std::string test_private_key_path();
std::string test_public_key_path();

// A fresh directory under the system's temporary directory, removed with its contents.
class temp_dir_t {
public:
    temp_dir_t();
    ~temp_dir_t();
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;

    const std::string& path() const noexcept { return path_; }
    // The path of a file in the directory.
    std::string file(std::string_view name) const;

private:
    std::string path_;
};

void write_file(const std::string& path, const bytes_t& bytes);
void write_text(const std::string& path, std::string_view text);

// A signed database with sections at the given table indexes, stored in table
// order after the header; indexes not given are absent. Signed with the test key.
bytes_t database(const std::map<unsigned, bytes_t>& sections, std::string_view name = "gamble",
                 const index::header_date_t& date = {2024, 5, 6, 7, 8, 9});

// Header with an explicit table (0 = absent), then `body`, padded with zero
// bytes up to `signed_size` when that is larger, then the test key's signature.
bytes_t signed_layout(const std::vector<std::uint32_t>& table, std::string_view name, const bytes_t& body,
                      std::size_t signed_size = 0);

// Bytes from a string literal (which may hold zero bytes: pass the size).
bytes_t bytes_of(std::string_view text);

// Raw deflate of the text. With `final_block` false the stream ends in a
// non-final empty stored block, as database notices must.
bytes_t deflate_raw(std::string_view text, bool final_block = false);

// Opens the file as the daemon does (file_t) and returns the error, or success.
// `what` receives the exception text when given.
boost::system::error_code open_error(const std::string& path, std::string* what = nullptr);

// Writes the bytes to a file in the directory and opens it like open_error.
boost::system::error_code open_bytes_error(const temp_dir_t& dir, const bytes_t& bytes);

} // namespace nv::nvs::test
