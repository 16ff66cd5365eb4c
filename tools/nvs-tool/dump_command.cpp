// nvs-tool dump: the header and sections of a database, and optionally its records.
#include "tools/nvs-tool/commands.h"
#include "tools/nvs-tool/failure_text.h"

#include "nvs/file.h"
#include "nvs/index/cursor.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>

namespace nvs_tool {

namespace {

namespace index = nv::nvs::index;
using type_t = index::content_t::type_t;

const char* type_name(type_t type)
{
    switch (type) {
    case type_t::params: return "params";
    case type_t::patterns: return "patterns";
    case type_t::ipv4_hosts: return "ipv4_hosts";
    case type_t::ipv6_hashes: return "ipv6_hashes";
    case type_t::urls: return "urls";
    case type_t::urls_with_params: return "urls_with_params";
    case type_t::ipv4_networks: return "ipv4_networks";
    case type_t::ipv6_networks: return "ipv6_networks";
    case type_t::legal_info: return "legal_info";
    default: return "unused";
    }
}

std::string hex(const std::uint8_t* p, std::size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

// Text shown between quotes, bytes outside printable ASCII escaped.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char b[8];
            std::snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

std::string ipv4_text(const std::uint8_t* p)
{
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, p, text, sizeof text);
    return text;
}

// Records of one section, by type; nothing for types without records of their own.
std::uint64_t record_count(const nv::nvs::file_t& file, type_t type)
{
    switch (type) {
    case type_t::patterns: return file.patterns().size();
    case type_t::ipv4_hosts: return file.ipv4_hosts().size();
    case type_t::ipv6_hashes: return file.ipv6_hashes().size();
    case type_t::urls: return file.urls().size();
    case type_t::urls_with_params: return file.urls_with_params().size();
    case type_t::ipv4_networks: return file.ipv4_networks().size();
    case type_t::ipv6_networks: return file.ipv6_networks().size();
    case type_t::legal_info: return file.legal_info().notices().size();
    default: return 0;
    }
}

void dump_url_records(const nv::nvs::file_t& file, const index::url_t& reader, bool with_params)
{
    const auto& content = file.content();
    const auto params = content.section(type_t::params);
    for (const auto& [level, depths] : reader.groups())
        for (const auto& [depth, run] : depths)
            for (std::uint32_t i = 0; i < run.count; ++i) {
                const std::uint8_t* r = run.first + std::size_t(i) * reader.record_size();
                std::printf("  @%u level %u depth %u key %s", content.offset_of(r), index::record_level(r),
                            index::record_depth(r), hex(index::record_key(r), 16).c_str());
                if (with_params) {
                    const std::uint32_t offset = index::load32(r + 19), lists = index::load32(r + 23);
                    std::printf(" lists %u", lists);
                    // Checked when the file was opened: the lists lie inside type 0.
                    const std::uint8_t* p = lists ? params->data + offset : nullptr;
                    for (std::uint32_t l = 0; l < lists; ++l) {
                        const unsigned n = *p++;
                        std::printf(" [");
                        for (unsigned k = 0; k < n; ++k, p += 16)
                            std::printf("%s%s", k ? " " : "", hex(p, 16).c_str());
                        std::printf("]");
                    }
                }
                std::printf("\n");
            }
}

void dump_records(const nv::nvs::file_t& file, type_t type)
{
    const auto& content = file.content();
    switch (type) {
    case type_t::patterns:
        for (const auto& p : file.patterns().patterns())
            std::printf("  @%u %s\n", content.offset_of(p.data()), quoted(p).c_str());
        break;
    case type_t::ipv4_hosts:
        for (std::uint32_t i = 0; i < file.ipv4_hosts().size(); ++i)
            std::printf("  @%u %s\n", content.offset_of(file.ipv4_hosts().record(i)),
                        ipv4_text(file.ipv4_hosts().record(i)).c_str());
        break;
    case type_t::ipv6_hashes:
        for (std::uint32_t i = 0; i < file.ipv6_hashes().size(); ++i)
            std::printf("  @%u %s\n", content.offset_of(file.ipv6_hashes().record(i)),
                        hex(file.ipv6_hashes().record(i), 16).c_str());
        break;
    case type_t::urls:
        dump_url_records(file, file.urls(), false);
        break;
    case type_t::urls_with_params:
        dump_url_records(file, file.urls_with_params(), true);
        break;
    case type_t::ipv4_networks:
        for (std::uint32_t i = 0; i < file.ipv4_networks().size(); ++i) {
            const std::uint8_t* r = file.ipv4_networks().record(i);
            std::printf("  @%u %s/%u\n", content.offset_of(r), ipv4_text(r).c_str(), unsigned(r[4]));
        }
        break;
    case type_t::ipv6_networks:
        for (const auto& g : file.ipv6_networks().groups()) {
            std::printf("  prefix %u: %u keys\n", unsigned(g.prefix_length), g.count);
            for (std::uint32_t i = 0; i < g.count; ++i)
                std::printf("    @%u %s\n", content.offset_of(g.keys + 16 * i), hex(g.keys + 16 * i, 16).c_str());
        }
        break;
    case type_t::legal_info:
        for (const auto& [key, text] : file.legal_info().notices())
            std::printf("  for @%u: %s\n", key, quoted(text).c_str());
        break;
    default:
        break;
    }
}

void dump(const nv::nvs::file_t& file, bool records)
{
    const auto& content = file.content();
    const auto category = nv::nvs::name_of_category(file.category());
    unsigned bit = 0;
    while ((1u << bit) != file.category())
        ++bit;
    std::printf("file: %s\n", file.path().c_str());
    std::printf("size: %u bytes (signed area %u)\n", file.mapped().size(), file.mapped().size() - 40);
    std::printf("header: NVS, %u table entries\n", index::load32(file.mapped().data() + 4));
    std::printf("date: %s\n", file.date().c_str());
    std::printf("name: %s\n", quoted(file.name()).c_str());
    std::printf("category: %s (bit %u)\n", std::string(category.value_or("?")).c_str(), bit);
    std::printf("whitelist: %s\n", file.whitelist() ? "yes" : "no");
    std::printf("records: %llu\n", static_cast<unsigned long long>(file.record_count()));
    for (const auto& entry : content.table()) {
        const auto kept = content.section(entry.type);
        const bool is_kept = kept && content.offset_of(kept->data) == entry.offset;
        std::printf("section %u (%s): offset %u, size %lld bytes", entry.index, type_name(entry.type), entry.offset,
                    static_cast<long long>(entry.size));
        if (!is_kept) {
            std::printf(", not read (an earlier section has its type)\n");
            continue;
        }
        if (entry.type == type_t::params || entry.type >= type_t::unused_9)
            std::printf("\n");
        else if (entry.type == type_t::legal_info)
            std::printf(", %llu notices\n", static_cast<unsigned long long>(record_count(file, entry.type)));
        else
            std::printf(", %llu records\n", static_cast<unsigned long long>(record_count(file, entry.type)));
        if (records)
            dump_records(file, entry.type);
    }
}

} // namespace

int run_dump(args_t args)
{
    bool records = false;
    std::vector<std::string> files;
    for (const auto arg : args) {
        if (arg == "-r" || arg == "--records")
            records = true;
        else if (arg == "-h" || arg == "--help" || arg.starts_with("-")) {
            const bool help = arg == "-h" || arg == "--help";
            std::fputs("Usage: nvs-tool dump [--records] FILE...\n"
                       "Shows the header, the name, category and whitelist flag, and each section with its size\n"
                       "and record count; with --records (-r) the records too. Files are verified first.\n",
                       help ? stdout : stderr);
            return help ? 0 : 2;
        } else
            files.emplace_back(arg);
    }
    if (files.empty()) {
        std::fputs("Usage: nvs-tool dump [--records] FILE...\n", stderr);
        return 2;
    }
    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        try {
            const nv::nvs::file_t file(files[i]);
            if (i)
                std::printf("\n");
            dump(file, records);
        } catch (const boost::system::system_error& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s: %s\n", files[i].c_str(), failure_text(e).c_str());
            status = 1;
        }
    }
    return status;
}

} // namespace nvs_tool
