#include "nvs/async/container_checks.h"

#include "nvs/index/content.h"

#include <stdexcept>

namespace nv::nvs::async {

container_checks_t::container_checks_t(std::size_t count, helper_thread_t* helper) : items_(count)
{
    if (helper && count > 1) {
        helper->start([this] { run_helper(); });
        helper_ = helper;
    }
}

container_checks_t::~container_checks_t()
{
    if (!helper_)
        return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    try {
        helper_->wait();
    } catch (...) {
        // Nothing the helper's share does raises; a destructor could not report it.
    }
}

void container_checks_t::offer(std::size_t i, const std::uint8_t* data, std::uint32_t size)
{
    {
        std::lock_guard lock(mutex_);
        items_[i].data = data;
        items_[i].size = size;
        items_[i].state = state_t::offered;
    }
    changed_.notify_all();
}

void container_checks_t::skip(std::size_t i)
{
    {
        std::lock_guard lock(mutex_);
        // Fails closed should its result ever be asked for.
        items_[i].result = error_t::bad_file_format;
        items_[i].state = state_t::done;
    }
    changed_.notify_all();
}

void container_checks_t::check(std::unique_lock<std::mutex>& lock, item_t& item)
{
    item.state = state_t::checking;
    const std::uint8_t* const data = item.data;
    const std::uint32_t size = item.size;
    lock.unlock();
    const error_t result = index::check_container(data, size);
    lock.lock();
    item.result = result;
    item.state = state_t::done;
    changed_.notify_all();
}

// Takes the files in order from the front, each as soon as it is offered.
void container_checks_t::run_helper()
{
    std::unique_lock lock(mutex_);
    for (auto& item : items_) {
        changed_.wait(lock, [&] { return stopping_ || item.state != state_t::waiting; });
        if (stopping_)
            return;
        if (item.state == state_t::offered)
            check(lock, item);
    }
}

error_t container_checks_t::result(std::size_t i)
{
    std::unique_lock lock(mutex_);
    auto& wanted = items_[i];
    for (;;) {
        switch (wanted.state) {
        case state_t::done:
            return wanted.result;
        case state_t::offered:
            check(lock, wanted);
            continue;
        case state_t::waiting:
            throw std::logic_error("container_checks_t: result of a file neither offered nor skipped");
        case state_t::checking:
            break;
        }
        // The helper has it: check the last file still offered, which the
        // helper would reach last, or wait when there is none.
        bool checked_other = false;
        for (std::size_t j = items_.size(); j-- > i + 1;)
            if (items_[j].state == state_t::offered) {
                check(lock, items_[j]);
                checked_other = true;
                break;
            }
        if (!checked_other)
            changed_.wait(lock, [&] { return wanted.state == state_t::done; });
    }
}

} // namespace nv::nvs::async
