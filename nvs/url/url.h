#pragma once
// The URL object every check works on: a URL split into its components, decoded
// and with a canonical host, plus the client's addresses of the host.
//
// A url_t never changes after construction, apart from its two cached text
// forms, which are filled on first request without a lock: once the object is
// shared between threads, each form must be requested from one thread only (the
// database worker asks only for `plain`, the event-loop thread only for `escaped`).

#include "nvs/url/address.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nv::nvs {

class url_t {
public:
    // Selects a text form.
    enum class format_t : int {
        escaped = 0, // percent-escaped, Punycode host: CloudD requests and the log
        plain = 1,   // decoded as stored: database text patterns and parameter keys
    };

    // One query parameter. Duplicates and empty items of a query are kept.
    struct parameter_t {
        std::string name;
        std::string value; // empty when the item had no '=' or nothing behind it

        // `name`, then '=' and `value` when `value` is not empty (so an empty value
        // prints without '='); both through url_encode in the escaped form. The
        // plain text is the text whose digest makes a database parameter key.
        std::string str(format_t format) const;
        void append_to(std::string& out, format_t format) const;

        friend bool operator==(const parameter_t&, const parameter_t&) = default;
    };
    using parameters_t = std::vector<parameter_t>;

    // Parses and normalises a raw URL. The text need not be NUL-terminated and may
    // hold any bytes; parsing never fails (only an allocation failure can leave
    // it): bad escapes keep a component as written, an unusable port is left out,
    // an undecodable Punycode label becomes empty. Database entries, which carry no
    // scheme, are read through this same constructor.
    explicit url_t(std::string_view text, address_set_t addresses = {});

    // Takes the components exactly as given: nothing is decoded, lower-cased or
    // converted.
    url_t(std::string scheme, std::string user, std::string password, std::string host, std::string path,
          parameters_t parameters, std::string fragment, std::optional<std::uint16_t> port,
          address_set_t addresses);

    // Text in front of the first "://", letter case kept; empty if none.
    const std::string& scheme() const { return scheme_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    // UTF-8; for a parsed URL without the dots at its ends, Punycode labels
    // decoded, ASCII letters in lower case.
    const std::string& host() const { return host_; }
    // For a parsed URL empty or beginning with '/'.
    const std::string& path() const { return path_; }
    const parameters_t& parameters() const { return parameters_; }
    const std::string& fragment() const { return fragment_; }
    // Absent when none was written or it was not a number from 0 to 65535.
    std::optional<std::uint16_t> port() const { return port_; }
    const address_set_t& addresses() const { return addresses_; }

    // The text form, built on the first call and kept (an empty form is rebuilt
    // on every call). See the class comment for threads.
    const std::string& str(format_t format) const;

    // All parameter texts in order, joined by '&'; a separator is written only
    // after something, so empty leading parameters add nothing.
    std::string query_string(format_t format) const;

private:
    std::string build_escaped() const;
    std::string build_plain() const;
    void append_query_string(std::string& out, format_t format) const;

    std::string scheme_;
    std::string user_;
    std::string password_;
    std::string host_;
    std::string path_;
    parameters_t parameters_;
    std::string fragment_;
    std::optional<std::uint16_t> port_;
    address_set_t addresses_;
    mutable std::string escaped_;
    mutable std::string plain_;
};

using parameter_t = url_t::parameter_t;

} // namespace nv::nvs
