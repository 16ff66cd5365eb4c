#include "tools/nvs-tool/atomic_file.h"

#include <boost/system/system_error.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace nvs_tool {

namespace {

[[noreturn]] void fail_errno(const std::string& what)
{
    throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()), what);
}

} // namespace

// Written beside the target and renamed over it, so that a daemon reloading
// the directory sees either the old file or the whole new one.
void write_atomically(const std::string& path, std::string_view bytes)
{
    std::string temp = path + ".tmp-XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        fail_errno("create " + temp);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            errno = saved;
            fail_errno("write " + temp);
        }
        done += std::size_t(n);
    }
    if (::fchmod(fd, 0644) < 0 || ::fsync(fd) < 0 || ::close(fd) < 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        fail_errno("write " + temp);
    }
    if (::rename(temp.c_str(), path.c_str()) < 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        fail_errno("rename to " + path);
    }
}

void write_atomically(const std::string& path, const nv::nvs::index::bytes_t& image)
{
    write_atomically(path, std::string_view(reinterpret_cast<const char*>(image.data()), image.size()));
}

} // namespace nvs_tool
