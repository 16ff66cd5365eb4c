#pragma once
// Building the URL of a client's check request.

#include "nvs/url/url.h"

#include <memory>

namespace uc {
class ClientMessage;
class DecodedUrl;
} // namespace uc

namespace nv::nvs {

// A URL from parts the client has already decoded: host (empty when absent),
// path and parameters (value empty when absent) exactly as sent, with no
// decoding, case change or Punycode processing; no scheme, user, password,
// fragment or port.
url_t url_from_decoded(const uc::DecodedUrl& decoded, address_set_t addresses = {});

// The URL of a CHECK_URL_REQUEST: `raw_url` parsed when present, otherwise
// `decoded_url` (the caller has checked that one of them is there), with every
// entry of `addresses`. Throws boost::system::system_error with
// errc::invalid_argument when an address is neither IPv6 nor IPv4
// (see parse_ip_address); no URL is built then.
std::shared_ptr<const url_t> make_request_url(const uc::ClientMessage& request);

} // namespace nv::nvs
