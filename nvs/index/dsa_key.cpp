#include "nvs/index/dsa_key.h"

#include "nvs/index/bignum.h"
#include "nvs/index/dsa_verifier.h"

#include <boost/system/system_error.hpp>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace nv::nvs::index {

struct dsa_key_t::impl_t {
    bn_ptr p, q, g, y, x;
    std::unique_ptr<const dsa_verifier_t> verifier;
};

namespace {

struct pkey_free_t {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
struct bio_free_t {
    void operator()(BIO* b) const noexcept { BIO_free(b); }
};
struct file_close_t {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using pkey_ptr = std::unique_ptr<EVP_PKEY, pkey_free_t>;
using file_ptr = std::unique_ptr<std::FILE, file_close_t>;

[[noreturn]] void fail(const std::string& path, const char* what)
{
    throw boost::system::system_error(make_error_code(boost::system::errc::invalid_argument), path + ": " + what);
}

file_ptr open_file(const std::string& path, const char* mode, int create_mode = 0644)
{
    std::FILE* f = nullptr;
    if (*mode == 'w') {
        // Never over an existing file (a key is not to be lost), and created with
        // the final permissions at once, so that a private key is
        // never readable by others, not even for a moment.
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, create_mode);
        if (fd >= 0 && !(f = ::fdopen(fd, mode)))
            ::close(fd);
    } else {
        f = std::fopen(path.c_str(), mode);
    }
    if (!f)
        throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()),
                                          "open " + path);
    return file_ptr(f);
}

pkey_ptr read_pem(const std::string& path, bool want_private)
{
    auto file = open_file(path, "r");
    pkey_ptr key(want_private ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr)
                              : PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    if (!key && !want_private) {
        std::rewind(file.get());
        key.reset(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    }
    if (!key)
        fail(path, want_private ? "not a PEM private key" : "not a PEM public key");
    if (!EVP_PKEY_is_a(key.get(), "DSA"))
        fail(path, "not a DSA key");
    return key;
}

bn_ptr get_param(EVP_PKEY* key, const char* name)
{
    BIGNUM* b = nullptr;
    if (!EVP_PKEY_get_bn_param(key, name, &b))
        return nullptr;
    return bn_ptr(b);
}

} // namespace

// Made here, once per key, so that verifying never allocates: a key is
// shared by threads that check several files at once.
dsa_key_t::dsa_key_t(std::unique_ptr<impl_t> impl) : impl_(std::move(impl))
{
    impl_->verifier = dsa_verifier_t::make(impl_->p.get(), impl_->q.get(), impl_->g.get(), impl_->y.get());
}
dsa_key_t::dsa_key_t(dsa_key_t&&) noexcept = default;
dsa_key_t& dsa_key_t::operator=(dsa_key_t&&) noexcept = default;
dsa_key_t::~dsa_key_t() = default;

bool dsa_key_t::has_private() const noexcept { return impl_->x != nullptr; }
const BIGNUM* dsa_key_t::p() const noexcept { return impl_->p.get(); }
const BIGNUM* dsa_key_t::q() const noexcept { return impl_->q.get(); }
const BIGNUM* dsa_key_t::g() const noexcept { return impl_->g.get(); }
const BIGNUM* dsa_key_t::y() const noexcept { return impl_->y.get(); }
const BIGNUM* dsa_key_t::x() const noexcept { return impl_->x.get(); }
const dsa_verifier_t* dsa_key_t::verifier() const noexcept { return impl_->verifier.get(); }

dsa_key_t dsa_key_t::from_hex(const char* p, const char* q, const char* g, const char* y)
{
    auto impl = std::make_unique<impl_t>();
    bn_ptr* fields[] = {&impl->p, &impl->q, &impl->g, &impl->y};
    const char* texts[] = {p, q, g, y};
    for (int i = 0; i < 4; ++i) {
        BIGNUM* b = nullptr;
        bn_check(BN_hex2bn(&b, texts[i]));
        fields[i]->reset(b);
    }
    return dsa_key_t(std::move(impl));
}

dsa_key_t dsa_key_t::generate()
{
    auto ctx = new_bn_ctx();
    auto impl = std::make_unique<impl_t>();
    impl->q = new_bn();
    bn_check(BN_generate_prime_ex2(impl->q.get(), 160, 0, nullptr, nullptr, nullptr, ctx.get()));

    // p = X - (X mod 2q) + 1 for random 512-bit X: p - 1 is a multiple of q.
    auto two_q = new_bn(), x = new_bn(), c = new_bn();
    impl->p = new_bn();
    bn_check(BN_lshift1(two_q.get(), impl->q.get()));
    for (;;) {
        bn_check(BN_priv_rand_ex(x.get(), 512, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY, 0, ctx.get()));
        bn_check(BN_mod(c.get(), x.get(), two_q.get(), ctx.get()));
        bn_check(BN_sub(impl->p.get(), x.get(), c.get()));
        bn_check(BN_add_word(impl->p.get(), 1));
        if (BN_num_bits(impl->p.get()) != 512)
            continue;
        const int prime = BN_check_prime(impl->p.get(), ctx.get(), nullptr);
        bn_check(prime >= 0);
        if (prime == 1)
            break;
    }

    // g = h^((p-1)/q) mod p for the first h that does not give 1.
    auto e = new_bn(), h = new_bn(), rem = new_bn();
    impl->g = new_bn();
    bn_check(BN_sub(e.get(), impl->p.get(), BN_value_one()));
    bn_check(BN_div(e.get(), rem.get(), e.get(), impl->q.get(), ctx.get()));
    bn_check(BN_set_word(h.get(), 2));
    for (;;) {
        bn_check(BN_mod_exp(impl->g.get(), h.get(), e.get(), impl->p.get(), ctx.get()));
        if (!BN_is_one(impl->g.get()))
            break;
        bn_check(BN_add_word(h.get(), 1));
    }

    impl->x = new_bn();
    do
        bn_check(BN_priv_rand_range_ex(impl->x.get(), impl->q.get(), 0, ctx.get()));
    while (BN_is_zero(impl->x.get()));
    impl->y = new_bn();
    bn_check(BN_mod_exp(impl->y.get(), impl->g.get(), impl->x.get(), impl->p.get(), ctx.get()));
    return dsa_key_t(std::move(impl));
}

dsa_key_t dsa_key_t::read_public_pem(const std::string& path) { return read_key(path, false); }

dsa_key_t dsa_key_t::read_private_pem(const std::string& path) { return read_key(path, true); }

dsa_key_t dsa_key_t::read_key(const std::string& path, bool with_private)
{
    auto key = read_pem(path, with_private);
    auto impl = std::make_unique<impl_t>();
    impl->p = get_param(key.get(), OSSL_PKEY_PARAM_FFC_P);
    impl->q = get_param(key.get(), OSSL_PKEY_PARAM_FFC_Q);
    impl->g = get_param(key.get(), OSSL_PKEY_PARAM_FFC_G);
    impl->y = get_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY);
    if (with_private)
        impl->x = get_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY);
    if (!impl->p || !impl->q || !impl->g || !impl->y || (with_private && !impl->x))
        fail(path, "incomplete DSA key");
    // The signature fields hold 20 bytes each.
    if (BN_num_bits(impl->q.get()) > 160)
        fail(path, "DSA q longer than 160 bits does not fit the signature fields");
    return dsa_key_t(std::move(impl));
}

namespace {

pkey_ptr to_pkey(const dsa_key_t& key, bool with_private)
{
    struct bld_free_t {
        void operator()(OSSL_PARAM_BLD* b) const noexcept { OSSL_PARAM_BLD_free(b); }
    };
    struct params_free_t {
        void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
    };
    struct ctx_free_t {
        void operator()(EVP_PKEY_CTX* c) const noexcept { EVP_PKEY_CTX_free(c); }
    };
    std::unique_ptr<OSSL_PARAM_BLD, bld_free_t> bld(OSSL_PARAM_BLD_new());
    bn_check(bld != nullptr);
    bn_check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_P, key.p()));
    bn_check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_Q, key.q()));
    bn_check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_FFC_G, key.g()));
    bn_check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, key.y()));
    if (with_private)
        bn_check(OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, key.x()));
    std::unique_ptr<OSSL_PARAM, params_free_t> params(OSSL_PARAM_BLD_to_param(bld.get()));
    bn_check(params != nullptr);
    std::unique_ptr<EVP_PKEY_CTX, ctx_free_t> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "DSA", nullptr));
    bn_check(ctx != nullptr);
    bn_check(EVP_PKEY_fromdata_init(ctx.get()) == 1);
    EVP_PKEY* raw = nullptr;
    bn_check(EVP_PKEY_fromdata(ctx.get(), &raw, with_private ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get())
             == 1);
    return pkey_ptr(raw);
}

void finish(file_ptr file, const std::string& path)
{
    if (std::fclose(file.release()) != 0)
        throw boost::system::system_error(boost::system::error_code(errno, boost::system::system_category()),
                                          "write " + path);
}

} // namespace

void dsa_key_t::write_public_pem(const std::string& path) const
{
    auto pkey = to_pkey(*this, false);
    auto file = open_file(path, "w");
    if (!PEM_write_PUBKEY(file.get(), pkey.get()))
        fail(path, "cannot write the public key");
    finish(std::move(file), path);
}

void dsa_key_t::write_private_pem(const std::string& path) const
{
    if (!has_private())
        fail(path, "no private key to write");
    auto pkey = to_pkey(*this, true);
    auto file = open_file(path, "w", 0600);
    if (!PEM_write_PrivateKey(file.get(), pkey.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail(path, "cannot write the private key");
    finish(std::move(file), path);
}

} // namespace nv::nvs::index
