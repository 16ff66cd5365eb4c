#include "nvs/async/open_checks.h"

#include "nvs/index/content.h"

#include <stdexcept>

namespace nv::nvs::async {

open_checks_t::open_checks_t(std::span<const char* const> paths, helper_thread_t* helper, std::size_t ahead)
    : count_(paths.size()), ahead_(ahead < 1 ? 1 : ahead), items_(std::make_unique<item_t[]>(paths.size()))
{
    for (std::size_t i = 0; i < count_; ++i)
        items_[i].path = paths[i];
    if (helper && count_ > 1) {
        helper->start([this] { run_helper(); });
        helper_ = helper;
    }
}

open_checks_t::~open_checks_t()
{
    if (!helper_)
        return;
    stopping_.store(true, std::memory_order_release);
    progress_.fetch_add(1, std::memory_order_release);
    progress_.notify_all();
    try {
        helper_->wait();
    } catch (...) {
        // Nothing the helper's share does raises; a destructor could not report it.
    }
}

bool open_checks_t::claim(std::size_t& i) noexcept
{
    std::size_t next = next_.load(std::memory_order_relaxed);
    for (;;) {
        if (next >= count_ || next >= taken_.load(std::memory_order_acquire) + ahead_)
            return false;
        if (next_.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) {
            i = next;
            return true;
        }
    }
}

void open_checks_t::work(item_t& item) noexcept
{
    item.state.store(working, std::memory_order_relaxed);
    if (item.path) {
        auto& outcome = item.outcome;
        outcome.mapping = io::mapping_t::open(item.path, outcome.failure);
        if (outcome.mapping)
            outcome.check = index::check_container(outcome.mapping.data(), outcome.mapping.size());
    }
    item.state.store(done, std::memory_order_release);
    item.state.notify_all();
}

void open_checks_t::run_helper() noexcept
{
    for (;;) {
        // Read before looking at the window, so that a file taken meanwhile
        // changes it and the wait below returns at once.
        const int progress = progress_.load(std::memory_order_acquire);
        if (stopping_.load(std::memory_order_acquire))
            return;
        std::size_t i;
        if (claim(i)) {
            work(items_[i]);
            continue;
        }
        if (next_.load(std::memory_order_acquire) >= count_)
            return;
        // So far ahead that no further file may be opened: the owner takes
        // outcomes much faster than they are made, so this is rare.
        progress_.wait(progress, std::memory_order_acquire);
    }
}

open_checks_t::outcome_t open_checks_t::take(std::size_t i)
{
    if (i != taken_.load(std::memory_order_relaxed))
        throw std::logic_error("open_checks_t: outcomes taken out of order");
    item_t& wanted = items_[i];
    for (;;) {
        const int state = wanted.state.load(std::memory_order_acquire);
        if (state == done)
            break;
        std::size_t other;
        if (claim(other)) {
            work(items_[other]);
            continue;
        }
        // The helper has it (the wanted file is within the window, so it was
        // claimed): wait for it, spinning briefly first, as most files take
        // microseconds.
        wanted.state.wait(state, std::memory_order_acquire);
    }
    outcome_t outcome = std::move(wanted.outcome);
    taken_.store(i + 1, std::memory_order_release);
    if (helper_) {
        progress_.fetch_add(1, std::memory_order_release);
        progress_.notify_all();
    }
    return outcome;
}

} // namespace nv::nvs::async
