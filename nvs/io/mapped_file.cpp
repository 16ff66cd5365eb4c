#include "nvs/io/mapped_file.h"

#include "nvs/index/error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/system/system_error.hpp>

#include <cerrno>
#include <limits>
#include <utility>

namespace nv::nvs::io {

boost::system::error_code open_failure_t::code() const noexcept
{
    if (!call)
        return make_error_code(error_t::bad_file_format);
    return {error, boost::system::system_category()};
}

void open_failure_t::raise() const
{
    if (!call)
        throw_error(error_t::bad_file_format);
    throw boost::system::system_error(code(), call);
}

mapping_t::mapping_t(mapping_t&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      address_(std::exchange(other.address_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      device_(other.device_),
      inode_(other.inode_)
{
}

mapping_t& mapping_t::operator=(mapping_t&& other) noexcept
{
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        address_ = std::exchange(other.address_, nullptr);
        length_ = std::exchange(other.length_, 0);
        device_ = other.device_;
        inode_ = other.inode_;
    }
    return *this;
}

mapping_t::~mapping_t() { release(); }

void mapping_t::release() noexcept
{
    if (address_)
        ::munmap(address_, length_);
    if (fd_ >= 0)
        ::close(fd_);
    address_ = nullptr;
    fd_ = -1;
}

mapping_t mapping_t::open(const char* path, open_failure_t& failure) noexcept
{
    const auto fail = [&](const char* call) {
        failure = {call, call ? errno : 0};
        return mapping_t();
    };
    mapping_t m;
    // Close-on-exec from the start: no window in which a process started by
    // another thread could inherit the descriptor, and one call less per file.
    m.fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
    if (m.fd_ < 0)
        return fail("open");
    struct stat st {};
    if (::fstat(m.fd_, &st) < 0)
        return fail("fstat");
    m.device_ = st.st_dev;
    m.inode_ = st.st_ino;
    if (st.st_size < 0 || std::uint64_t(st.st_size) > std::numeric_limits<std::uint32_t>::max())
        return fail(nullptr);
    // Length 0 is refused by the system here, which is the intended "mmap" failure.
    // The signature check reads every byte at once: filling the page tables
    // in this one call costs far less than a fault per page.
    void* address = ::mmap(nullptr, std::size_t(st.st_size), PROT_READ, MAP_SHARED | MAP_POPULATE, m.fd_, 0);
    if (address == MAP_FAILED)
        return fail("mmap");
    m.address_ = address;
    m.length_ = std::size_t(st.st_size);
    return m;
}

mapped_file_t mapped_file_t::open(const std::string& path)
{
    open_failure_t failure;
    mapping_t mapping = mapping_t::open(path.c_str(), failure);
    if (!mapping)
        failure.raise();
    return adopt(path, std::move(mapping));
}

mapped_file_t mapped_file_t::adopt(std::string path, mapping_t mapping)
{
    mapped_file_t file;
    file.path_ = std::move(path);
    file.data_ = mapping.data();
    file.size_ = mapping.size();
    file.mapping_ = std::make_shared<const mapping_t>(std::move(mapping));
    return file;
}

bool mapped_file_t::changed() const
{
    struct stat path_st {};
    if (::stat(path_.c_str(), &path_st) < 0)
        return true;
    return mapping_->device() != path_st.st_dev || mapping_->inode() != path_st.st_ino;
}

} // namespace nv::nvs::io
