#pragma once
// The verified header of a mapped database and the map of its sections.
// Refers to the mapped_file_t it was built from, which must outlive it.

#include "nvs/index/category.h"
#include "nvs/index/error.h"
#include "nvs/io/mapped_file.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nv::nvs::index {

// The smallest file that can hold a header and a signature, and the signature's length.
inline constexpr std::uint32_t minimum_file_size = 58;
inline constexpr std::uint32_t signature_bytes = 40;

// What a file must pass before anything else in it is read: its size, its
// magic and its signature under the built-in key. Needs nothing but the bytes;
// for a key of the databases' shape it allocates nothing and may run on any
// thread. Returns success, bad_file_format or bad_file_signature.
error_t check_container(const std::uint8_t* data, std::uint32_t size);

class content_t {
public:
    struct section_t {
        enum class type_t : std::uint8_t {
            params = 0,
            patterns = 1,
            ipv4_hosts = 2,
            ipv6_hashes = 3,
            urls = 4,
            urls_with_params = 5,
            ipv4_networks = 6,
            ipv6_networks = 7,
            legal_info = 8,
            unused_9 = 9,
            unused_10 = 10,
        };

        const std::uint8_t* data = nullptr;
        std::uint32_t size = 0;
    };
    using type_t = section_t::type_t;

    // A section as the table lists it: index, type and extent (before checks).
    struct table_entry_t {
        std::uint32_t index;
        type_t type;
        std::uint32_t offset;
        std::int64_t size; // negative when offsets do not ascend
    };

    // Checks size, magic and signature, reads the header and locates the
    // sections. Raises boost::system::system_error with bad_file_format or
    // bad_file_signature.
    explicit content_t(const io::mapped_file_t& file);

    // Says that check_container passed for the file's bytes.
    struct container_checked_t {
        explicit container_checked_t() = default;
    };
    // Reads the header and locates the sections of a file whose container
    // check has passed. Raises boost::system::system_error with bad_file_format.
    content_t(const io::mapped_file_t& file, container_checked_t);

    const std::string& name() const noexcept { return name_; }
    bool whitelist() const noexcept { return whitelist_; }
    category_set_t category() const noexcept { return category_; }
    const std::string& date() const noexcept { return date_; }
    const std::map<type_t, section_t>& sections() const noexcept { return sections_; }
    // Every present table entry in table order, kept or not (for inspection).
    const std::vector<table_entry_t>& table() const noexcept { return table_; }
    const io::mapped_file_t& file() const noexcept { return *file_; }

    // The kept section of a type, or nothing when it is absent.
    std::optional<section_t> section(type_t type) const;

    // The file offset of a byte of the mapping (the record offset of a match).
    std::uint32_t offset_of(const void* p) const noexcept
    {
        return std::uint32_t(static_cast<const std::uint8_t*>(p) - file_->data());
    }

private:
    const io::mapped_file_t* file_;
    std::string name_;
    bool whitelist_ = false;
    category_set_t category_ = category_unspecified;
    std::string date_;
    std::map<type_t, section_t> sections_;
    std::vector<table_entry_t> table_;
};

// The type of the section at a table index: the index itself up to 9, 10 beyond.
content_t::type_t section_type_of_index(std::uint32_t index) noexcept;

// The date fields as "YYYY-MM-DD hh:mm:ss", zero-padded, unchecked.
std::string date_text(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second);

} // namespace nv::nvs::index
