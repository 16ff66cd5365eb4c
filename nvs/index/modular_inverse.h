#pragma once
// Inverse modulo an odd number by the binary extended Euclid (Kaliski's
// "almost inverse"), for the signature check: only public values pass here, so
// the running time may depend on them. Allocation-free; no state.

#include "nvs/index/montgomery.h"

#include <optional>

namespace nv::nvs::index {

// Numbers below 2^192: q and what is inverted modulo q.
using small_number_t = limbs_t<3>;

struct almost_inverse_t {
    small_number_t value; // s^-1 * 2^shift mod m, below m
    unsigned shift;       // at most the bit lengths of m and s together, plus one
};

// For an odd m below 2^191 and 0 < s < m: s^-1 * 2^shift mod m, or nothing
// when s and m have a common factor. The power of two is what the halvings
// leave behind; one Montgomery multiplication removes it.
std::optional<almost_inverse_t> almost_inverse(const small_number_t& s, const small_number_t& m) noexcept;

} // namespace nv::nvs::index
