#include "nvs/async/helper_thread.h"

#include <system_error>

namespace nv::nvs::async {

helper_thread_t::helper_thread_t()
{
    if (const int error = ::pthread_create(&thread_, nullptr, &helper_thread_t::entry, this))
        throw std::system_error(error, std::generic_category(), "pthread_create");
}

void* helper_thread_t::entry(void* self) noexcept
{
    static_cast<helper_thread_t*>(self)->run();
    return nullptr;
}

helper_thread_t::~helper_thread_t()
{
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !busy_; });
        stopping_ = true;
    }
    changed_.notify_all();
    ::pthread_join(thread_, nullptr);
}

void helper_thread_t::start(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        job_ = std::move(job);
        busy_ = true;
        failure_ = nullptr;
    }
    changed_.notify_all();
}

void helper_thread_t::wait()
{
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !busy_; });
    // The job stays alive until here, so that whatever it holds is released
    // by the owner's thread, not by the helper.
    job_ = nullptr;
    if (auto failure = std::exchange(failure_, nullptr))
        std::rethrow_exception(failure);
}

void helper_thread_t::run_beside(const std::function<void()>& theirs, const std::function<void()>& mine)
{
    start(theirs);
    try {
        mine();
    } catch (...) {
        try {
            wait();
        } catch (...) {
            // The owner's own failure is the one to report.
        }
        throw;
    }
    wait();
}

void helper_thread_t::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || busy_; });
        if (!busy_)
            return;
        lock.unlock();
        std::exception_ptr failure;
        try {
            job_();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        failure_ = failure;
        busy_ = false;
        changed_.notify_all();
    }
}

} // namespace nv::nvs::async
