#pragma once
// A database file opened read-only and mapped whole into memory. A value type:
// copies share one mapping, which goes away with the last copy.

#include <sys/types.h>

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace nv::nvs::io {

// Why a file could not be opened and mapped: the failing call and its errno,
// or a size the file format cannot have.
struct open_failure_t {
    const char* call = nullptr; // "open", "fstat" or "mmap"; null: too large
    int error = 0;

    boost::system::error_code code() const noexcept;
    // As mapped_file_t::open raises it.
    [[noreturn]] void raise() const;
};

// The descriptor and the mapping of one file, owned: closed and unmapped when
// dropped. Opening one neither allocates nor raises, so that a thread that
// must not allocate can open files for its owner.
class mapping_t {
public:
    mapping_t() = default;
    mapping_t(mapping_t&& other) noexcept;
    mapping_t& operator=(mapping_t&& other) noexcept;
    ~mapping_t();

    // Opens with close-on-exec, queries the size and identity, and maps the
    // whole file with its page tables filled. Empty on failure, with `failure`
    // set; a file of 4 GiB or more fails, since sizes and offsets in the file
    // are 32-bit.
    static mapping_t open(const char* path, open_failure_t& failure) noexcept;

    explicit operator bool() const noexcept { return address_ != nullptr; }
    const std::uint8_t* data() const noexcept { return static_cast<const std::uint8_t*>(address_); }
    std::uint32_t size() const noexcept { return std::uint32_t(length_); }
    // Of the open descriptor, which names the same file for as long as it is open.
    dev_t device() const noexcept { return device_; }
    ino_t inode() const noexcept { return inode_; }

private:
    void release() noexcept;

    int fd_ = -1;
    void* address_ = nullptr;
    std::size_t length_ = 0;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

class mapped_file_t {
public:
    // Opens and maps the file (see mapping_t::open). Raises
    // boost::system::system_error with errno and "open", "fstat" or "mmap";
    // a file of 4 GiB or more is bad_file_format.
    static mapped_file_t open(const std::string& path);
    // A file opened and mapped already, known by `path` from now on.
    static mapped_file_t adopt(std::string path, mapping_t mapping);

    const std::string& path() const noexcept { return path_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }

    // True when the path now names another file (device or inode differ from
    // those of the open descriptor, taken at opening), or no longer names
    // anything. A rewrite in place does not count.
    bool changed() const;

private:
    mapped_file_t() = default;

    std::shared_ptr<const mapping_t> mapping_;
    std::string path_;
    const std::uint8_t* data_ = nullptr;
    std::uint32_t size_ = 0;
};

} // namespace nv::nvs::io
