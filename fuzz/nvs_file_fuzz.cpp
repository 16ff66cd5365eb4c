// Fuzzes the header reading and the section readers of a database. The input
// is everything after the magic; the target signs it with the test key, so
// that the fuzzer gets past the signature check to the parts that parse.
#include "nvs/file.h"
#include "nvs/index/writer.h"

#include <boost/system/system_error.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    namespace index = nv::nvs::index;
    static const auto key = index::dsa_key_t::read_private_pem(std::string(NORVA_SOURCE_DIR)
                                                               + "/keys/test-private-DO-NOT-USE.pem");
    static const int fd = ::memfd_create("nvs-fuzz", 0);
    if (fd < 0)
        std::abort();
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);

    index::bytes_t image{'N', 'V', 'S', 0};
    image.insert(image.end(), data, data + size);
    if (image.size() < index::minimum_file_size - index::signature_bytes)
        image.resize(index::minimum_file_size - index::signature_bytes, 0);
    index::append_signature(image, key);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, image.data(), image.size(), 0) != ssize_t(image.size()))
        std::abort();
    try {
        const nv::nvs::file_t file(path);
        volatile auto count = file.record_count();
        (void)count;
    } catch (const boost::system::system_error&) {
        // Refused files are the expected outcome of most inputs.
    }
    return 0;
}
