#pragma once
// A DSA key of the size database files are signed with (512-bit p, 160-bit q):
// the public numbers p, q, g, y and, for signing, the private x.

#include <memory>
#include <string>

typedef struct bignum_st BIGNUM;

namespace nv::nvs::index {

class dsa_verifier_t;

class dsa_key_t {
public:
    // Numbers as hexadecimal text (for keys compiled into a program).
    static dsa_key_t from_hex(const char* p, const char* q, const char* g, const char* y);

    // A fresh key: a new domain (p of 512 bits, prime q of 160 bits dividing
    // p - 1, generator g of order q) and a new key pair in it.
    static dsa_key_t generate();

    // Standard PEM files. Reading a public key accepts a public or a private key
    // file; reading a private key requires the private number. Failures raise
    // boost::system::system_error whose text names the file and the fault.
    static dsa_key_t read_public_pem(const std::string& path);
    static dsa_key_t read_private_pem(const std::string& path);
    void write_public_pem(const std::string& path) const;
    // Written with mode 0600. Neither overwrites an existing file.
    void write_private_pem(const std::string& path) const;

    bool has_private() const noexcept;

    const BIGNUM* p() const noexcept;
    const BIGNUM* q() const noexcept;
    const BIGNUM* g() const noexcept;
    const BIGNUM* y() const noexcept;
    const BIGNUM* x() const noexcept; // null for a public key

    // The public numbers prepared for fast verification, made with the key;
    // null for a key of another shape than the databases' (checked the general way).
    const dsa_verifier_t* verifier() const noexcept;

    dsa_key_t(dsa_key_t&&) noexcept;
    dsa_key_t& operator=(dsa_key_t&&) noexcept;
    ~dsa_key_t();

private:
    struct impl_t;
    explicit dsa_key_t(std::unique_ptr<impl_t> impl);
    static dsa_key_t read_key(const std::string& path, bool with_private);
    std::unique_ptr<impl_t> impl_;
};

} // namespace nv::nvs::index
