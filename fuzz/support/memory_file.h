#pragma once
// A file in memory (memfd) that fuzz targets fill with each input and then open
// by path, the way the code under test opens real files.

#include <cstdint>
#include <span>
#include <string>

namespace nv::fuzz {

class memory_file_t {
public:
    // Aborts when no memory file can be made: the target cannot run then.
    explicit memory_file_t(const char* name);
    ~memory_file_t();
    memory_file_t(const memory_file_t&) = delete;
    memory_file_t& operator=(const memory_file_t&) = delete;

    // Replaces the contents with the bytes (aborts on failure).
    void write(std::span<const std::uint8_t> bytes);
    // A path that opens the file ("/proc/self/fd/N").
    const std::string& path() const noexcept { return path_; }

private:
    int descriptor_;
    std::string path_;
};

} // namespace nv::fuzz
