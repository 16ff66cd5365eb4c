#include "app/user_identity.h"

#include <pwd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace uc {

namespace {

std::string lookup_failure(const std::string& call, const char* none)
{
    const int error = errno;
    return call + "): " + (error != 0 ? std::strerror(error) : none);
}

}  // namespace

user_identity_t user_identity_t::resolve(const nv::LocalUser& user)
{
    if (user.has_uid())
        return user_identity_t(static_cast<std::uint32_t>(user.uid()), false, 0, {});
    errno = 0;
    const passwd* entry = ::getpwnam(user.name().c_str());
    if (entry == nullptr)
        throw std::runtime_error(lookup_failure("getpwnam(\"" + user.name() + "\"", "No such user"));
    return user_identity_t(entry->pw_uid, true, entry->pw_gid, entry->pw_name);
}

std::uint32_t user_identity_t::gid()
{
    if (!gid_known_) {
        errno = 0;
        const passwd* entry = ::getpwuid(uid_);
        if (entry == nullptr)
            throw std::runtime_error(lookup_failure("getpwuid(" + std::to_string(uid_), "No user with such uid"));
        gid_ = entry->pw_gid;
        gid_known_ = true;
        name_ = entry->pw_name;
    }
    return gid_;
}

std::string user_identity_t::description() const
{
    std::string text = std::to_string(uid_);
    if (gid_known_)
        text += ':' + std::to_string(gid_);
    return text;
}

}  // namespace uc
