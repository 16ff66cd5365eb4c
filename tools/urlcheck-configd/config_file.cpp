#include "tools/urlcheck-configd/config_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <google/protobuf/util/json_util.h>

namespace configd {

nv::UrlCheckConfig parse_config(const std::string& json)
{
    nv::UrlCheckConfig config;
    google::protobuf::util::JsonParseOptions options;
    options.ignore_unknown_fields = false;
    const auto status = google::protobuf::util::JsonStringToMessage(json, &config, options);
    if (!status.ok()) {
        // The parser's text may go on with an excerpt of the input on further lines.
        const std::string text(status.message());
        throw std::runtime_error(text.substr(0, text.find('\n')));
    }
    if (!config.IsInitialized())
        throw std::runtime_error("missing required fields: " + config.InitializationErrorString());

    // The daemon refuses a configuration without a user; a person running the
    // stand-in by hand means "as myself".
    if (!config.run_as_user().has_name() && !config.run_as_user().has_uid())
        config.mutable_run_as_user()->set_uid(::getuid());

    // ConfigD sends a resolved log description; the stand-in runs in the
    // foreground, so what it cannot resolve goes to standard error.
    if (!config.has_actual_log() && config.has_log())
        *config.mutable_actual_log() = config.log();
    if (!config.has_actual_log() || config.actual_log().type() == nv::Log::AUTO) {
        nv::Log& log = *config.mutable_actual_log();
        log.set_type(nv::Log::STDERR);
    }
    if (config.actual_log().type() == nv::Log::FILE && config.actual_log().path().empty())
        throw std::runtime_error("a log of type FILE needs a \"path\"");
    return config;
}

namespace {

// A relative path in the file is meant relative to the file, not to wherever
// urlcheck-configd happens to be started.
void anchor(std::string& path, const boost::filesystem::path& base)
{
    if (!path.empty() && boost::filesystem::path(path).is_relative())
        path = (base / path).lexically_normal().string();
}

void anchor_paths(nv::UrlCheckConfig& config, const std::string& file)
{
    const boost::filesystem::path base = boost::filesystem::absolute(file).parent_path();
    if (config.has_nvs_dir())
        anchor(*config.mutable_nvs_dir(), base);
    if (config.has_client_socket_path())
        anchor(*config.mutable_client_socket_path(), base);
    if (config.actual_log().has_path())
        anchor(*config.mutable_actual_log()->mutable_path(), base);
}

}  // namespace

void config_file_t::load()
{
    errno = 0;
    std::ifstream file(path_, std::ios::binary);
    if (!file)
        throw std::runtime_error(path_ + ": cannot be read: " + std::strerror(errno != 0 ? errno : EIO));
    std::ostringstream text;
    text << file.rdbuf();
    if (file.bad())
        throw std::runtime_error(path_ + ": cannot be read");
    std::string content = text.str();

    nv::UrlCheckConfig config;
    try {
        config = parse_config(content);
        anchor_paths(config, path_);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error(path_ + ": " + e.what());
    }
    if (revision_ == 0 || content != content_)
        ++revision_;
    content_ = std::move(content);
    config_ = std::move(config);
}

}  // namespace configd
