#include "fuzz/support/memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace nv::fuzz {

memory_file_t::memory_file_t(const char* name) : descriptor_(::memfd_create(name, MFD_CLOEXEC))
{
    if (descriptor_ < 0)
        std::abort();
    path_ = "/proc/self/fd/" + std::to_string(descriptor_);
}

memory_file_t::~memory_file_t()
{
    ::close(descriptor_);
}

void memory_file_t::write(std::span<const std::uint8_t> bytes)
{
    if (::ftruncate(descriptor_, 0) != 0)
        std::abort();
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(descriptor_, bytes.data() + done, bytes.size() - done, off_t(done));
        if (n <= 0)
            std::abort();
        done += std::size_t(n);
    }
}

} // namespace nv::fuzz
