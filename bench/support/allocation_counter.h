// Counts heap allocations made through operator new, so that a benchmark can
// report allocations per operation. Linking this file replaces the global
// allocation operators of the whole benchmark program.
#pragma once

#include <cstdint>

namespace nv::bench {

// Allocations through any form of operator new since the program started.
std::uint64_t allocation_count() noexcept;

// Allocations made by the calling thread since it started.
std::uint64_t thread_allocation_count() noexcept;

} // namespace nv::bench
