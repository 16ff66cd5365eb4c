#pragma once
// The files of one reload, opened, mapped and checked (size, magic,
// signature) by the reload's thread and its helper at once: hashing and
// verifying every byte is most of a load, and the machine has a second core.
// Both take the files in listing order, at most a fixed number ahead of the
// one the reload waits for, and the reload takes the outcomes in that order.
// The helper's share allocates nothing and touches nothing but the files and
// this object.

#include "nvs/async/helper_thread.h"
#include "nvs/index/error.h"
#include "nvs/io/mapped_file.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <span>

namespace nv::nvs::async {

class open_checks_t {
public:
    // What became of one file.
    struct outcome_t {
        io::mapping_t mapping; // empty when the file could not be opened
        io::open_failure_t failure; // why, then
        error_t check = error_t::success; // of the container, when opened
    };

    // A null path stands for a file not to be opened: its outcome stays
    // empty. The paths must outlive this object. Without a helper (or with
    // fewer than two files) every file is opened when its outcome is taken.
    open_checks_t(std::span<const char* const> paths, helper_thread_t* helper, std::size_t ahead);
    // Stops the helper after the file it is on and waits for it; outcomes not
    // taken are closed.
    ~open_checks_t();

    open_checks_t(const open_checks_t&) = delete;
    open_checks_t& operator=(const open_checks_t&) = delete;

    // The outcome of file i, taken in order (0, 1, 2, ...). While the helper
    // still works on it, the caller opens and checks the files after it.
    outcome_t take(std::size_t i);

    // Whether the helper takes part (for tests and measurements).
    bool has_helper() const noexcept { return helper_ != nullptr; }

private:
    enum state_t : int { waiting, working, done };
    struct item_t {
        const char* path = nullptr;
        std::atomic<int> state{waiting};
        outcome_t outcome;
    };

    // Claims the next file if it is not too far ahead of the ones taken.
    bool claim(std::size_t& i) noexcept;
    void work(item_t& item) noexcept;
    void run_helper() noexcept;

    std::size_t count_ = 0;
    std::size_t ahead_ = 0;
    std::unique_ptr<item_t[]> items_;
    std::atomic<std::size_t> next_{0}; // the next file to claim
    std::atomic<std::size_t> taken_{0}; // the files whose outcome was taken
    std::atomic<bool> stopping_{false};
    // Changes whenever the helper may go on after waiting: a file taken, or the end.
    std::atomic<int> progress_{0};
    helper_thread_t* helper_ = nullptr; // set once everything above exists
};

} // namespace nv::nvs::async
