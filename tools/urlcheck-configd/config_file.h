// The configuration file of urlcheck-configd: the JSON form of
// nv.UrlCheckConfig, completed with what ConfigD would resolve itself.
#pragma once

#include <cstdint>
#include <string>

#include "proto/urlcheck_config.pb.h"

namespace configd {

class config_file_t {
public:
    explicit config_file_t(std::string path) : path_(std::move(path)) {}

    // Reads, parses and completes the file; relative paths (nvs_dir,
    // client_socket_path, the log file) are taken from the file's directory.
    // On any failure throws
    // std::runtime_error naming the file and what is wrong, and keeps the
    // configuration loaded before. The revision grows when the content changed.
    void load();

    const std::string& path() const noexcept { return path_; }
    const nv::UrlCheckConfig& config() const noexcept { return config_; }
    // 0 until the first successful load.
    std::uint32_t revision() const noexcept { return revision_; }

private:
    std::string path_;
    std::string content_;
    nv::UrlCheckConfig config_;
    std::uint32_t revision_ = 0;
};

// Parses the JSON text and fills in what ConfigD resolves before it sends a
// configuration: run_as_user (this process's uid when the text names no user)
// and actual_log (from "log" when absent, standard error when absent too or
// of type AUTO). Throws std::runtime_error saying what is wrong.
nv::UrlCheckConfig parse_config(const std::string& json);

}  // namespace configd
