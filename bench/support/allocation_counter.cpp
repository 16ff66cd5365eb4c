#include "bench/support/allocation_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::uint64_t> allocations{0};
thread_local std::uint64_t thread_allocations = 0;

void* counted_allocation(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    ++thread_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

} // namespace

std::uint64_t nv::bench::allocation_count() noexcept
{
    return allocations.load(std::memory_order_relaxed);
}

std::uint64_t nv::bench::thread_allocation_count() noexcept
{
    return thread_allocations;
}

void* operator new(std::size_t size) { return counted_allocation(size); }
void* operator new[](std::size_t size) { return counted_allocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return counted_allocation(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
