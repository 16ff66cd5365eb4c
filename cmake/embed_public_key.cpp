// Build step: turns the PEM public key chosen at configure time into a C++
// source holding its numbers, so that the daemon carries the key it trusts.
// Usage: embed_public_key KEY.pem OUTPUT.cpp
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string hex_param(EVP_PKEY* key, const char* name)
{
    BIGNUM* b = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &b))
        return {};
    char* text = BN_bn2hex(b);
    std::string out = text ? text : "";
    OPENSSL_free(text);
    BN_free(b);
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: embed_public_key KEY.pem OUTPUT.cpp\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "r");
    if (!in) {
        std::perror(argv[1]);
        return 1;
    }
    EVP_PKEY* key = PEM_read_PUBKEY(in, nullptr, nullptr, nullptr);
    std::fclose(in);
    if (!key || !EVP_PKEY_is_a(key, "DSA")) {
        std::fprintf(stderr, "%s: not a PEM DSA public key\n", argv[1]);
        return 1;
    }
    BIGNUM* q = nullptr;
    const bool q_fits = EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_FFC_Q, &q) && BN_num_bits(q) <= 160;
    BN_free(q);
    if (!q_fits) {
        std::fprintf(stderr, "%s: DSA q must have at most 160 bits to fit the signature fields\n", argv[1]);
        return 1;
    }
    const std::string p = hex_param(key, OSSL_PKEY_PARAM_FFC_P), qh = hex_param(key, OSSL_PKEY_PARAM_FFC_Q),
                      g = hex_param(key, OSSL_PKEY_PARAM_FFC_G), y = hex_param(key, OSSL_PKEY_PARAM_PUB_KEY);
    EVP_PKEY_free(key);

    std::string source = argv[1];
    std::string escaped;
    for (char c : source) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c;
    }
    std::ofstream out(argv[2], std::ios::trunc);
    out << "// Generated from " << escaped << " at build time; do not edit.\n"
        << "#include \"nvs/index/built_in_key.h\"\n\n"
        << "namespace nv::nvs::index {\n\n"
        << "const built_in_key_numbers_t built_in_key_numbers{\n"
        << "    \"" << p << "\",\n    \"" << qh << "\",\n    \"" << g << "\",\n    \"" << y << "\",\n"
        << "    \"" << escaped << "\",\n};\n\n"
        << "} // namespace nv::nvs::index\n";
    out.close();
    if (!out) {
        std::perror(argv[2]);
        return 1;
    }
    return 0;
}
