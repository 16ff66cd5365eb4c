#pragma once
// One opened database: the mapped file, its verified header and a reader for
// every section. Complete and immutable once constructed; shared by pointer.

#include "nvs/index/address_sections.h"
#include "nvs/index/content.h"
#include "nvs/index/context.h"
#include "nvs/index/ipv6_networks.h"
#include "nvs/index/legal_info.h"
#include "nvs/index/patterns.h"
#include "nvs/index/url_section.h"
#include "nvs/io/mapped_file.h"

#include <string>

namespace nv::nvs {

class file_t {
public:
    // Maps, verifies and checks the whole file. Raises boost::system::system_error
    // with a system error and "open", "fstat" or "mmap", or with
    // bad_file_format or bad_file_signature; nothing is left behind.
    explicit file_t(const std::string& path);

    // The same over a file already mapped whose container check (size, magic,
    // signature) has passed: the rest of the checks, and the readers.
    file_t(io::mapped_file_t mapped, index::content_t::container_checked_t checked);

    file_t(const file_t&) = delete;
    file_t& operator=(const file_t&) = delete;

    // Patterns plus the records of types 2 to 6 plus the keys of all type 7 groups.
    std::uint64_t record_count() const noexcept;

    // The first search of this database that matches the URL of the context:
    // its addresses (IPv4 networks, IPv4 hosts, IPv6 networks, IPv6 hashes),
    // then host/path keys (type 4), the same with parameters (type 5), then
    // text patterns in the URL's plain text.
    index::match_t find(index::context_t& context) const;

    // The "legalURL" string of the notice stored for a record offset; empty when
    // there is no notice, it is not a JSON object, or the member is missing or
    // not a string.
    std::string legal_url(std::uint32_t record_offset) const;

    const std::string& name() const noexcept { return content_.name(); }
    bool whitelist() const noexcept { return content_.whitelist(); }
    category_set_t category() const noexcept { return content_.category(); }
    const std::string& date() const noexcept { return content_.date(); }
    const std::string& path() const noexcept { return mapped_.path(); }
    bool changed() const { return mapped_.changed(); }

    const io::mapped_file_t& mapped() const noexcept { return mapped_; }
    const index::content_t& content() const noexcept { return content_; }
    const index::patterns_t& patterns() const noexcept { return patterns_; }
    const index::ipv4_hosts_t& ipv4_hosts() const noexcept { return ipv4_hosts_; }
    const index::ipv6_hashes_t& ipv6_hashes() const noexcept { return ipv6_hashes_; }
    const index::ipv4_networks_t& ipv4_networks() const noexcept { return ipv4_networks_; }
    const index::ipv6_networks_t& ipv6_networks() const noexcept { return ipv6_networks_; }
    const index::url_t& urls() const noexcept { return urls_; }
    const index::url_t& urls_with_params() const noexcept { return urls_with_params_; }
    const index::legal_info_t& legal_info() const noexcept { return legal_info_; }

private:
    // Construction order is the order of the checks.
    io::mapped_file_t mapped_;
    index::content_t content_;
    index::patterns_t patterns_;
    index::ipv4_hosts_t ipv4_hosts_;
    index::ipv6_hashes_t ipv6_hashes_;
    index::ipv4_networks_t ipv4_networks_;
    index::ipv6_networks_t ipv6_networks_;
    index::url_t urls_;
    index::url_t urls_with_params_;
    index::legal_info_t legal_info_;
};

} // namespace nv::nvs
