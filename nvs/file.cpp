#include "nvs/file.h"

namespace nv::nvs {

namespace {

// The file mapped, with its container (size, magic, signature) checked.
io::mapped_file_t open_checked(const std::string& path)
{
    io::mapped_file_t mapped = io::mapped_file_t::open(path);
    if (const error_t e = index::check_container(mapped.data(), mapped.size()); e != error_t::success)
        throw_error(e);
    return mapped;
}

} // namespace

file_t::file_t(const std::string& path) : file_t(open_checked(path), index::content_t::container_checked_t{})
{
}

file_t::file_t(io::mapped_file_t mapped, index::content_t::container_checked_t checked)
    : mapped_(std::move(mapped)),
      content_(mapped_, checked),
      patterns_(content_),
      ipv4_hosts_(content_),
      ipv6_hashes_(content_),
      ipv4_networks_(content_),
      ipv6_networks_(content_),
      urls_(content_, index::content_t::type_t::urls),
      urls_with_params_(content_, index::content_t::type_t::urls_with_params),
      legal_info_(content_)
{
}

std::uint64_t file_t::record_count() const noexcept
{
    return std::uint64_t(patterns_.size()) + ipv4_hosts_.size() + ipv6_hashes_.size() + urls_.size()
        + urls_with_params_.size() + ipv4_networks_.size() + ipv6_networks_.size();
}

} // namespace nv::nvs
