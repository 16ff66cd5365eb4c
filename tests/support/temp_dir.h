// A fresh directory under the system's temporary directory, removed with all
// its contents on destruction.
#pragma once

#include <string>

#include <boost/filesystem/path.hpp>

namespace nv::test {

class temp_dir_t {
public:
    temp_dir_t();
    ~temp_dir_t();
    temp_dir_t(const temp_dir_t&) = delete;
    temp_dir_t& operator=(const temp_dir_t&) = delete;

    const boost::filesystem::path& path() const noexcept { return path_; }
    // The path of a name inside the directory, as text.
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    boost::filesystem::path path_;
};

// Whole contents of a file ("" if it cannot be read).
std::string read_file(const std::string& path);
// Replaces the file's contents.
void write_file(const std::string& path, const std::string& contents);

}  // namespace nv::test
