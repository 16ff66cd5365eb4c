#pragma once
// The application object of the IPC fuzz targets: the test application (real
// event loop and configuration holder, tests/support/fake_application.h) with
// a checker for client sessions, plus a checker that counts the checks still
// in progress, so that a target knows when every answer is back.

#include "ipc/url_check_context.h"
#include "tests/support/fake_application.h"

#include <cstddef>

namespace nv::fuzz {

class fuzz_application_t final : public nv::test::fake_application_t {
public:
    uc::url_checker_t* url_checker() override { return checker; }

    // What client sessions hand their checks to; null for none.
    uc::url_checker_t* checker = nullptr;
};

// Passes every check on to another checker and counts those not completed yet.
// Each completion must come exactly once: a second one aborts the process.
class counting_checker_t final : public uc::url_checker_t {
public:
    explicit counting_checker_t(uc::url_checker_t& next) noexcept : next_(next) {}

    void check(uc::url_check_context_t&& context) override;

    std::size_t in_progress() const noexcept { return in_progress_; }
    std::size_t completed() const noexcept { return completed_; }

private:
    uc::url_checker_t& next_;
    std::size_t in_progress_ = 0;
    std::size_t completed_ = 0;
};

} // namespace nv::fuzz
