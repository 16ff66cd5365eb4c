#include "nvs/io/mapped_file.h"

#include "nvs/index/error.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>

namespace nv::nvs::io {

struct mapped_file_t::impl_t {
    int fd = -1;
    void* address = MAP_FAILED;
    std::size_t length = 0;
    // Of the open descriptor, which names the same file for as long as it is open.
    dev_t device = 0;
    ino_t inode = 0;

    impl_t() = default;
    impl_t(const impl_t&) = delete;
    impl_t& operator=(const impl_t&) = delete;

    ~impl_t()
    {
        if (address != MAP_FAILED && address != nullptr)
            ::munmap(address, length);
        if (fd >= 0)
            ::close(fd);
    }
};

mapped_file_t mapped_file_t::open(const std::string& path)
{
    auto impl = std::make_shared<impl_t>();
    // Close-on-exec from the start: no window in which a process started by
    // another thread could inherit the descriptor, and one call less per file.
    impl->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (impl->fd < 0)
        throw_system_error("open");
    struct stat st {};
    if (::fstat(impl->fd, &st) < 0)
        throw_system_error("fstat");
    impl->device = st.st_dev;
    impl->inode = st.st_ino;
    if (st.st_size < 0 || std::uint64_t(st.st_size) > std::numeric_limits<std::uint32_t>::max())
        throw_error(error_t::bad_file_format);
    impl->length = std::size_t(st.st_size);
    // Length 0 is refused by the system here, which is the intended "mmap" failure.
    // The signature check reads every byte at once: filling the page tables
    // in this one call costs far less than a fault per page.
    impl->address = ::mmap(nullptr, impl->length, PROT_READ, MAP_SHARED | MAP_POPULATE, impl->fd, 0);
    if (impl->address == MAP_FAILED)
        throw_system_error("mmap");

    mapped_file_t file;
    file.path_ = path;
    file.data_ = static_cast<const std::uint8_t*>(impl->address);
    file.size_ = std::uint32_t(impl->length);
    file.impl_ = std::move(impl);
    return file;
}

bool mapped_file_t::changed() const
{
    struct stat path_st {};
    if (::stat(path_.c_str(), &path_st) < 0)
        return true;
    return impl_->device != path_st.st_dev || impl_->inode != path_st.st_ino;
}

} // namespace nv::nvs::io
