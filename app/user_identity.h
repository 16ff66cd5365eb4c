// The user the daemon runs as, resolved from the configured nv.LocalUser.
#pragma once

#include <cstdint>
#include <string>

#include "proto/local_user.pb.h"

namespace uc {

class user_identity_t {
public:
    // By uid when the record gives one (truncated to 32 bits, gid looked up
    // later), else by name with getpwnam. An unknown name, the empty one
    // included, throws std::runtime_error ending in "No such user".
    static user_identity_t resolve(const nv::LocalUser& user);

    std::uint32_t uid() const noexcept { return uid_; }
    // The gid, looked up with getpwuid on first use; throws std::runtime_error
    // when no account has the uid.
    std::uint32_t gid();
    // The account's name, for its group list; valid once gid() has returned.
    const std::string& name() const noexcept { return name_; }
    // "uid" or "uid:gid" once the gid is known.
    std::string description() const;

private:
    user_identity_t(std::uint32_t uid, bool gid_known, std::uint32_t gid, std::string name)
        : uid_(uid), gid_known_(gid_known), gid_(gid), name_(std::move(name))
    {
    }

    std::uint32_t uid_;
    bool gid_known_;
    std::uint32_t gid_;
    std::string name_;
};

}  // namespace uc
