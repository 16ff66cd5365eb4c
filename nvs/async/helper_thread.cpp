#include "nvs/async/helper_thread.h"

#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace nv::nvs::async {

namespace {

// Hashing, verifying and filling the filter need a few kilobytes, but the
// thread's own storage lies in its stack too (close to a megabyte under the
// thread sanitizer). Untouched pages cost address space only, as with the
// library's default stacks of the same size.
constexpr std::size_t stack_size = 8 * 1024 * 1024;

struct attr_t {
    pthread_attr_t attr;
    attr_t()
    {
        if (const int error = ::pthread_attr_init(&attr))
            throw std::system_error(error, std::generic_category(), "pthread_attr_init");
    }
    ~attr_t() { ::pthread_attr_destroy(&attr); }
};

// The helper runs on any processor the owner may use but the one the owner
// is on. Left to itself, the scheduler of a virtual machine, which often sees
// no cache shared between processors, wakes the helper on the owner's
// processor, and the two take turns there while another one idles.
void keep_off_this_cpu(pthread_attr_t& attr) noexcept
{
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    const int here = ::sched_getcpu();
    if (here < 0 || here >= CPU_SETSIZE || !CPU_ISSET(here, &allowed) || CPU_COUNT(&allowed) < 2)
        return;
    CPU_CLR(here, &allowed);
    // Without it the helper goes wherever the scheduler puts it: slower, not wrong.
    ::pthread_attr_setaffinity_np(&attr, sizeof allowed, &allowed);
}

} // namespace

helper_thread_t::stack_t::~stack_t()
{
    if (base)
        ::munmap(base, size);
}

helper_thread_t::helper_thread_t()
{
    const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
    constexpr int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE;
    void* base = ::mmap(nullptr, stack_size + page, PROT_READ | PROT_WRITE, flags, -1, 0);
    if (base == MAP_FAILED)
        throw std::system_error(errno, std::generic_category(), "mmap");
    stack_.base = base;
    stack_.size = stack_size + page;
    // A guard page below the stack: an overflow faults instead of writing elsewhere.
    if (::mprotect(base, page, PROT_NONE) != 0)
        throw std::system_error(errno, std::generic_category(), "mprotect");
    attr_t attr;
    if (const int error = ::pthread_attr_setstack(&attr.attr, static_cast<char*>(base) + page, stack_size))
        throw std::system_error(error, std::generic_category(), "pthread_attr_setstack");
    keep_off_this_cpu(attr.attr);
    if (const int error = ::pthread_create(&thread_, &attr.attr, &helper_thread_t::entry, this))
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
