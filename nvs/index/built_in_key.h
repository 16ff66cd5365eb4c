#pragma once
// The numbers of the public key compiled into the program: a generated source
// defines them from the PEM file chosen at build time.

namespace nv::nvs::index {

struct built_in_key_numbers_t {
    const char* p;
    const char* q;
    const char* g;
    const char* y;
    const char* source; // the PEM file they came from
};

extern const built_in_key_numbers_t built_in_key_numbers;

} // namespace nv::nvs::index
