#include "nvs/url/request.h"

#include "proto/urlcheck_client_ipc.pb.h"

#include <boost/system/system_error.hpp>

namespace nv::nvs {

url_t url_from_decoded(const uc::DecodedUrl& decoded, address_set_t addresses)
{
    url_t::parameters_t parameters;
    parameters.reserve(std::size_t(decoded.parameters_size()));
    for (const auto& p : decoded.parameters())
        parameters.push_back({p.name(), p.has_value() ? p.value() : std::string()});
    return url_t({}, {}, {}, decoded.has_host() ? decoded.host() : std::string(), decoded.path(),
                 std::move(parameters), {}, std::nullopt, std::move(addresses));
}

std::shared_ptr<const url_t> make_request_url(const uc::ClientMessage& request)
{
    // Addresses first: a bad one fails the request before any parsing is spent.
    address_set_t addresses;
    for (const auto& entry : request.addresses().ip()) {
        auto address = parse_ip_address(entry.address());
        if (!address)
            throw boost::system::system_error(
                make_error_code(boost::system::errc::invalid_argument), "parse address");
        addresses.insert(*address);
    }
    if (request.has_raw_url())
        return std::make_shared<const url_t>(request.raw_url(), std::move(addresses));
    return std::make_shared<const url_t>(url_from_decoded(request.decoded_url(), std::move(addresses)));
}

} // namespace nv::nvs
