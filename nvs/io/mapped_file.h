#pragma once
// A database file opened read-only and mapped whole into memory. A value type:
// copies share one mapping, which goes away with the last copy.

#include <cstdint>
#include <memory>
#include <string>

namespace nv::nvs::io {

class mapped_file_t {
public:
    struct impl_t;

    // Opens with close-on-exec, queries the size and identity, and maps the
    // whole file with its page tables filled. Raises boost::system::system_error
    // with errno and "open", "fstat" or "mmap"; a file of 4 GiB or more is
    // bad_file_format, since sizes and offsets in the file are 32-bit.
    static mapped_file_t open(const std::string& path);

    const std::string& path() const noexcept { return path_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }

    // True when the path now names another file (device or inode differ from
    // those of the open descriptor, taken at opening), or no longer names
    // anything. A rewrite in place does not count.
    bool changed() const;

private:
    mapped_file_t() = default;

    std::shared_ptr<const impl_t> impl_;
    std::string path_;
    const std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
};

} // namespace nv::nvs::io
