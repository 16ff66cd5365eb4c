#pragma once
// The DSA signature at the end of a database file, in the file's own integer
// conventions: r and s are 20-byte little-endian numbers, and the SHA-1 digest
// enters the equations as h0 + h1*2^32 + ... + h4*2^128 of its five state words.

#include "nvs/index/dsa_key.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace nv::nvs::index {

inline constexpr std::size_t signature_size = 40;
using signature_t = std::array<std::uint8_t, signature_size>;

// True when the signature (r then s) is valid for the signed bytes under the key.
// Allocates nothing for a key of the databases' shape (dsa_key_t::verifier), so
// several threads may check files at once; other keys take the general way.
bool verify_signature(const dsa_key_t& key, std::span<const std::uint8_t> signed_area,
                      std::span<const std::uint8_t, signature_size> signature);

// The same check with general big-number arithmetic, for any key.
bool verify_signature_with_bignum(const dsa_key_t& key, std::span<const std::uint8_t> signed_area,
                                  std::span<const std::uint8_t, signature_size> signature);

// Signs the bytes with a private key, in the same conventions.
signature_t sign(const dsa_key_t& key, std::span<const std::uint8_t> signed_area);

// The key the daemon accepts databases from, chosen when it was built.
const dsa_key_t& built_in_key();

// The digest of the bytes as the 20-byte big-endian form of the integer that
// enters the equations (what a standard DSA signer expects as its input).
std::array<std::uint8_t, 20> digest_for_signing(std::span<const std::uint8_t> signed_area);

} // namespace nv::nvs::index
