#pragma once
// A second thread for the length of one reload: runs the jobs its owner hands
// it, one at a time, while the owner does its own share. Jobs given to it must
// not allocate (a thread that allocates keeps a malloc arena of its own after
// it is gone), so it is kept to hashing, verifying and filling memory that the
// owner prepared.

#include <pthread.h>

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <utility>

namespace nv::nvs::async {

class helper_thread_t {
public:
    // Raises std::system_error when no thread can be started.
    helper_thread_t();
    // Waits for the running job, if any, then ends the thread.
    ~helper_thread_t();
    helper_thread_t(const helper_thread_t&) = delete;
    helper_thread_t& operator=(const helper_thread_t&) = delete;

    // Hands the helper a job; the previous one must have been waited for.
    void start(std::function<void()> job);
    // Returns once the job handed last has ended; raises what it raised.
    void wait();

    // Runs `theirs` on the helper and `mine` here, and returns once both are
    // done (also when `mine` raises, which is then raised again).
    void run_beside(const std::function<void()>& theirs, const std::function<void()>& mine);

private:
    static void* entry(void* self) noexcept;
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> job_;
    bool busy_ = false;
    bool stopping_ = false;
    std::exception_ptr failure_;
    // The thread's own stack, unmapped once it has ended: the library keeps
    // the stacks it makes for later threads, their touched pages resident.
    struct stack_t {
        void* base = nullptr;
        std::size_t size = 0;
        stack_t(const stack_t&) = delete;
        stack_t& operator=(const stack_t&) = delete;
        stack_t() = default;
        ~stack_t();
    } stack_;
    // A plain POSIX thread: std::thread frees its start state on the new
    // thread, and that first free gives the thread a malloc arena of its own.
    pthread_t thread_{};
};

} // namespace nv::nvs::async
