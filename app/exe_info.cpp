#include "app/exe_info.h"
#include "common/quoted_path.h"

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <fcntl.h>
#include <google/protobuf/util/json_util.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/exception.h"

namespace uc {

namespace {

// Owns an open descriptor.
class descriptor_t {
public:
    explicit descriptor_t(int fd) noexcept : fd_(fd) {}
    ~descriptor_t()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    descriptor_t(const descriptor_t&) = delete;
    descriptor_t& operator=(const descriptor_t&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};


std::string digest_of_file(const std::string& path)
{
    const descriptor_t file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        nv::throw_errno("open");
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1)
        throw std::runtime_error("EVP_DigestInit_ex failed");
    std::vector<unsigned char> block(8192);
    for (;;) {
        const ssize_t n = ::read(file.get(), block.data(), block.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            nv::throw_errno("read");
        }
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(n)) != 1)
            throw std::runtime_error("EVP_DigestUpdate failed");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        throw std::runtime_error("EVP_DigestFinal_ex failed");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string owner_name(uid_t uid)
{
    const long limit = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(limit > 0 ? static_cast<std::size_t>(limit) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::to_string(uid);
}

}  // namespace

std::string md5_of_file(const std::string& path)
{
    try {
        return digest_of_file(path);
    } catch (const std::exception& e) {
        throw nv::cf_proto_exception_t(nv::exit_code_of(e),
                                       std::string("MD5: ") + nv::log_text(e) + ": " + nv::quoted_path(path));
    }
}

nv::AppExeInfo collect_exe_info(const std::string& version, int argc, char* argv[])
{
    if (argc <= 0 || !argv || !argv[0])
        throw std::runtime_error("Unknown exe path");
    // A failure leaves the path empty, and stat() below reports it.
    boost::system::error_code ignored;
    const std::string path = boost::filesystem::canonical(argv[0], ignored).string();

    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        throw boost::filesystem::filesystem_error(
            "stat", path, boost::system::error_code(errno, boost::system::system_category()));
    }
    if (!S_ISREG(status.st_mode))
        throw boost::system::system_error(nv::make_error_code(nv::EC_NOT_A_REGULAR_FILE));

    nv::AppExeInfo info;
    info.set_exe_md5(md5_of_file(path));
    info.set_version(version);
    info.set_install_time(static_cast<std::uint64_t>(status.st_ctime));
    info.set_modification_time(static_cast<std::uint64_t>(status.st_mtime));
    info.set_exe_size(static_cast<std::uint64_t>(status.st_size));
    info.set_exe_owner(owner_name(status.st_uid));
    return info;
}

void print_exe_info(std::ostream& out, const nv::AppExeInfo& info)
{
    std::string text;
    try {
        if (!google::protobuf::util::MessageToJsonString(info, &text).ok())
            text = "{}";
    } catch (const std::exception&) {
        text = "{}";
    }
    out << text;
}

}  // namespace uc
