// Applying a configuration from ConfigD: user, log, level, components, and the
// switch to the configured user.
#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <boost/filesystem/exception.hpp>

#include "app/inventory.h"
#include "app/need_restart.h"
#include "app/user_identity.h"
#include "common/exception.h"
#include "common/log.h"
#include "common/log_factory.h"
#include "common/quoted_path.h"
#include "nvs/log.h"

namespace uc {

namespace {


// Creates the log file for the user the daemon is about to become, so that it
// can still write to it after dropping privileges. An existing file is left
// as it is.
void prepare_log_file(const std::string& path, user_identity_t& identity)
{
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        const int error = errno;
        if (error == EEXIST)
            return;
        throw boost::filesystem::filesystem_error("open", path,
                                                  boost::system::error_code(error, boost::system::system_category()));
    }
    struct descriptor_closer {
        int descriptor;
        ~descriptor_closer() { ::close(descriptor); }
    } closer{descriptor};
    if (::fchown(descriptor, identity.uid(), identity.gid()) != 0 && nv::log_enabled(nv::log_debug))
        nv::log_message(nv::log_debug, std::string("fchown: ") + std::strerror(errno) + ": " + nv::quoted_path(path));
}

nv::nvs::log_t::level_t library_threshold(int level)
{
    if (level <= nv::log_debug)
        return nv::nvs::log_t::debug;
    return level >= nv::log_error ? nv::nvs::log_t::error : nv::nvs::log_t::warning;
}

}  // namespace

void inventory_t::apply_config(const nv::UrlCheckConfig& config)
{
    // An unknown user leaves the event loop unchanged (exit status 125).
    user_identity_t identity = user_identity_t::resolve(config.run_as_user());
    if (privileges_dropped_ && identity.uid() != ::getuid())
        throw need_restart_t();

    try {
        apply_log(config, identity);
    } catch (const std::runtime_error& e) {
        check_restart_needed(e);
        nv::log_message(nv::log_error, nv::log_text(e));
        throw nv::EC_BAD_CONFIG;
    }
    nv::nvs::log_t::instance().set_threshold(library_threshold(nv::log_level()));

    config_->config = config;
    config_->applied();

    switch_user(identity);
}

void inventory_t::apply_log(const nv::UrlCheckConfig& config, user_identity_t& identity)
{
    const nv::Log& description = config.actual_log();
    if (description.type() == nv::Log::FILE && identity.uid() != ::getuid())
        prepare_log_file(description.path(), identity);
    nv::set_level(nv::log_level_of(config.log_level()));
    std::shared_ptr<nv::cf_log_t> log = nv::make_log(description);
    // ConfigD resolves AUTO before it sends a configuration; without a log
    // made from the description the daemon would write nowhere, so such a
    // configuration is refused rather than guessed at.
    if (!log) {
        const std::string type = nv::Log::LogType_IsValid(description.type())
                                     ? nv::Log::LogType_Name(description.type())
                                     : std::to_string(description.type());
        throw std::runtime_error("Cannot make a log of type " + type + ": ConfigD must send a resolved log description");
    }
    nv::install_log(std::move(log));
}

void inventory_t::switch_user(user_identity_t& identity)
{
    if (identity.uid() == ::getuid())
        return;
    try {
        try {
            const std::uint32_t gid = identity.gid();
            // The groups go first, while still allowed: a daemon that kept
            // root's supplementary groups could still open what those groups
            // may open. It gets the target account's own groups instead.
            if (::initgroups(identity.name().c_str(), gid) != 0)
                nv::throw_errno("initgroups");
            if (::setgid(gid) != 0)
                nv::throw_errno("setgid");
            if (::setuid(identity.uid()) != 0)
                nv::throw_errno("setuid");
        } catch (const boost::system::system_error& e) {
            nv::log_message(nv::log_error, nv::log_text(e));
            throw std::runtime_error("Cannot run as user " + identity.description());
        }
        privileges_dropped_ = true;
        if (nv::log_enabled(nv::log_debug))
            nv::log_message(nv::log_debug, "Run as user " + identity.description());
    } catch (const std::runtime_error& e) {
        nv::log_message(nv::log_error, nv::log_text(e));
        throw nv::EC_BAD_CONFIG;
    }
}

void inventory_t::check_restart_needed(const std::exception& failure)
{
    if (privileges_dropped_ && nv::error_code_of(failure) == boost::system::errc::permission_denied)
        throw need_restart_t();
}

}  // namespace uc
