#pragma once
// Reads the text source of a database (see docs/nvs-source-format.md) into
// entries with their keys already computed the way the daemon computes them.

#include "nvs/index/keys.h"
#include "nvs/index/writer.h"

#include <boost/system/system_error.hpp>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace nvs_tool {

using nv::nvs::index::md5_key_t;

// A refused source line: the text names the file, the line and the fault.
class source_error_t : public boost::system::system_error {
public:
    explicit source_error_t(std::string text);
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

// A host/path or address/path key (types 4 and 5).
struct url_entry_t {
    unsigned level = 0;
    unsigned depth = 0;
    md5_key_t key{};
    bool with_params = false;                  // type 5
    std::vector<std::vector<md5_key_t>> lists; // alternative parameter lists (type 5)
};

struct ipv4_entry_t {
    std::uint32_t address = 0;
    std::optional<unsigned> prefix; // a network (type 6) when present, else a host (type 2)
};

struct ipv6_entry_t {
    md5_key_t key{};
    std::optional<unsigned> prefix; // a network (type 7) when present, else a host (type 3)
};

struct pattern_entry_t {
    std::string text;
};

struct entry_t {
    unsigned line = 0;
    std::variant<url_entry_t, ipv4_entry_t, ipv6_entry_t, pattern_entry_t> value;
    std::optional<std::string> notice; // JSON text of the legal notice
};

struct source_t {
    std::string path;
    std::string name;
    nv::nvs::index::header_date_t date;
    std::vector<entry_t> entries;
};

// Reads and checks a source file. Raises source_error_t for a refused line,
// boost::system::system_error when the file cannot be read.
source_t read_source(const std::string& path);

// The same from text already read (path only names it in errors).
source_t parse_source(const std::string& path, std::string_view text);

// Reads one entry line ("url HOST/PATH", "params ...", "ipv4 ...", ...) exactly
// as read_source reads it, for tools that turn other list formats into
// entries. Raises source_error_t naming path:line and the fault.
entry_t parse_entry(const std::string& path, unsigned line, std::string_view text);

// The whole content of a file; a system error naming the path when it cannot be read.
std::string read_file(const std::string& path);

// What separates words in sources and lists: blanks and tabs.
inline constexpr std::string_view blanks = " \t";

// `s` without the blanks around it.
std::string_view trim(std::string_view s);

} // namespace nvs_tool
