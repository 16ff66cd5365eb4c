#pragma once
// The container checks (size, magic, signature) of the files one reload opens,
// shared between the calling thread and the reload's helper thread: hashing
// and verifying every byte is most of a load, and the machine has a second
// core. Only the checks run on the helper; they allocate nothing and touch
// nothing but the mapped bytes given and this object.

#include "nvs/async/helper_thread.h"
#include "nvs/index/error.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace nv::nvs::async {

class container_checks_t {
public:
    // Room for `count` files, numbered from 0 in the order the caller will ask
    // for their results. Without a helper (or with fewer than two files) every
    // check runs on the calling thread, when its result is asked for; with
    // one, the helper takes files from the front as they are offered.
    container_checks_t(std::size_t count, helper_thread_t* helper);
    // Stops the helper's share after the check it is running and waits for
    // it. The mapped bytes of every offered file must stay until then.
    ~container_checks_t();

    container_checks_t(const container_checks_t&) = delete;
    container_checks_t& operator=(const container_checks_t&) = delete;

    // The file is mapped and may be checked from now on.
    void offer(std::size_t i, const std::uint8_t* data, std::uint32_t size);
    // The file will not be checked (it could not be opened).
    void skip(std::size_t i);

    // The result of the file's check (index::check_container): taken over from
    // the helper, or checked here. The file must have been offered. While the helper still works on it, the
    // caller checks offered files from the far end instead of waiting idle.
    error_t result(std::size_t i);

    // Whether the helper takes part (for tests and measurements).
    bool has_helper() const noexcept { return helper_ != nullptr; }

private:
    enum class state_t : std::uint8_t { waiting, offered, checking, done };
    struct item_t {
        state_t state = state_t::waiting;
        const std::uint8_t* data = nullptr;
        std::uint32_t size = 0;
        error_t result = error_t::success;
    };

    void run_helper();
    // Checks an item claimed under the lock, with the lock released meanwhile.
    void check(std::unique_lock<std::mutex>& lock, item_t& item);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<item_t> items_;
    bool stopping_ = false;
    helper_thread_t* helper_ = nullptr; // set once everything above exists
};

} // namespace nv::nvs::async
