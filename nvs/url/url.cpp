#include "nvs/url/url.h"

namespace nv::nvs {

url_t::url_t(std::string scheme, std::string user, std::string password, std::string host, std::string path,
             parameters_t parameters, std::string fragment, std::optional<std::uint16_t> port,
             address_set_t addresses)
    : scheme_(std::move(scheme)),
      user_(std::move(user)),
      password_(std::move(password)),
      host_(std::move(host)),
      path_(std::move(path)),
      parameters_(std::move(parameters)),
      fragment_(std::move(fragment)),
      port_(port),
      addresses_(std::move(addresses))
{
}

const std::string& url_t::str(format_t format) const
{
    if (format == format_t::plain) {
        if (plain_.empty())
            plain_ = build_plain();
        return plain_;
    }
    if (escaped_.empty())
        escaped_ = build_escaped();
    return escaped_;
}

} // namespace nv::nvs
