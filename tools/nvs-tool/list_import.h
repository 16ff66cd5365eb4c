#pragma once
// Turns squidGuard-style list files (one domain or host/path per line) into
// database sources. Every entry is read by the builder's own entry reader, so
// its key is the one the lookup computes for matching URLs.

#include "tools/nvs-tool/source_reader.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace nvs_tool {

enum class list_kind_t {
    domains, // an entry covers the domain and every subdomain
    urls,    // an entry covers a host and a path prefix
};

// What became of the lines of one list file.
struct list_counts_t {
    std::uint64_t lines = 0;         // every line, blank and comment lines included
    std::uint64_t entries = 0;       // lines holding an entry
    std::uint64_t stored = 0;        // entries new to their database
    std::uint64_t duplicates = 0;    // entries whose key was stored already
    std::uint64_t as_parameters = 0; // entries with a query, stored as a parameter condition
    std::uint64_t without_fragment = 0; // entries with a fragment, stored without it
    std::uint64_t refused = 0;       // entries the database format cannot express

    list_counts_t& operator+=(const list_counts_t& other);
};

// An entry that was not stored: "FILE:LINE: ENTRY: why".
struct refusal_t {
    std::string text;
};

// Collects the entries of list files into the sources of one or more databases.
class list_importer_t {
public:
    // Adds every entry of the file to each named database; refused entries are
    // appended to `refused`. Raises boost::system::system_error when the file
    // cannot be read.
    list_counts_t add_file(const std::string& path, list_kind_t kind, const std::vector<std::string>& databases,
                           std::vector<refusal_t>& refused);
    // The same from text already read (path names it in messages).
    list_counts_t add_text(const std::string& path, std::string_view text, list_kind_t kind,
                           const std::vector<std::string>& databases, std::vector<refusal_t>& refused);

    // Names of the databases that received at least one list file, sorted.
    std::vector<std::string> databases() const;

    // The build source of one database: "name", the date line when given,
    // and one entry per line.
    std::string source_text(const std::string& name, const std::optional<std::string>& date) const;

private:
    struct item_t {
        bool params = false;
        std::string target;             // HOST or HOST/PATH as written in the list
        std::vector<std::string> lists; // parameter lists (params only)
    };
    using key_t = std::tuple<bool, unsigned, unsigned, md5_key_t>;
    struct draft_t {
        std::vector<std::string> files;
        std::vector<item_t> items;
        std::map<key_t, std::size_t> index;
    };

    // True when the entry was new to at least one database.
    bool store(const entry_t& entry, const item_t& item, const std::vector<std::string>& databases);

    std::map<std::string, draft_t> drafts_;
};

} // namespace nvs_tool
