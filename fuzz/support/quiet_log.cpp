#include "fuzz/support/quiet_log.h"

#include "common/log.h"

#include <memory>

#include <google/protobuf/stubs/logging.h>

namespace nv::fuzz {

namespace {

class quiet_log_t final : public cf_log_t {
public:
    quiet_log_t() : cf_log_t({}, {}) {}
    void write(int, std::string_view) override {}
    void write_tagged(std::string_view, int, std::string_view) override {}
    void out_of_memory() noexcept override {}
};

} // namespace

void install_quiet_log()
{
    static const bool installed = [] {
        set_level(log_debug);
        // The runtime's complaints about malformed messages, on nearly every input.
        google::protobuf::SetLogHandler(nullptr);
        install_log(std::make_shared<quiet_log_t>());
        return true;
    }();
    (void)installed;
}

} // namespace nv::fuzz
