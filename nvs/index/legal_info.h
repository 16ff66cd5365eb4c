#pragma once
// Section type 8: compressed notices (a JSON text with the legal alternative
// URL) keyed by the record offset of the record they belong to. The notices
// are inflated once, when the database is opened.

#include "nvs/index/content.h"

#include <map>
#include <string>

namespace nv::nvs::index {

class legal_info_t {
public:
    // Raises bad_file_format for a directory or blob past the section end and
    // for any inflater failure, the end of a deflate stream included.
    explicit legal_info_t(const content_t& content);

    // The inflated notice of a record offset, or null when there is none.
    const std::string* find(std::uint32_t record_offset) const;
    const std::map<std::uint32_t, std::string>& notices() const noexcept { return notices_; }

private:
    std::map<std::uint32_t, std::string> notices_;
};

// Raw-inflates a notice as the reader does; raises bad_file_format on failure.
std::string inflate_notice(const std::uint8_t* data, std::uint32_t size);

} // namespace nv::nvs::index
