// The simulator's TLS identity, made and checked with GnuTLS: the TLS stack
// the server side uses, independent of the client library's.

#include "sim_tls.h"

#include <arpa/inet.h>
#include <ctime>
#include <fstream>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <memory>
#include <sstream>

namespace sim
{

namespace
{

constexpr time_t year_seconds = 365L * 24 * 3600;

struct key_deleter {
    void operator()(gnutls_x509_privkey_t key) const { gnutls_x509_privkey_deinit(key); }
};
using key_ptr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_privkey_t>, key_deleter>;

struct crt_deleter {
    void operator()(gnutls_x509_crt_t crt) const { gnutls_x509_crt_deinit(crt); }
};
using crt_ptr = std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, crt_deleter>;

struct cred_deleter {
    void operator()(gnutls_certificate_credentials_t c) const
    {
        gnutls_certificate_free_credentials(c);
    }
};
using cred_ptr =
    std::unique_ptr<std::remove_pointer_t<gnutls_certificate_credentials_t>, cred_deleter>;

bool read_whole(const std::string &path, std::string &out, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream text;
    text << in.rdbuf();
    out = text.str();
    return true;
}

gnutls_datum_t datum_of(const std::string &text)
{
    return gnutls_datum_t{reinterpret_cast<unsigned char *>(const_cast<char *>(text.data())),
                          static_cast<unsigned>(text.size())};
}

// Record what failed; always false.
bool failed(std::string &error, const char *what, int rc)
{
    error = std::string(what) + ": " + gnutls_strerror(rc);
    return false;
}

// Export in PEM form into out.
template <typename Export>
bool export_pem(Export exporter, std::string &out, std::string &error, const char *what)
{
    gnutls_datum_t pem{};
    int rc = exporter(&pem);
    if (rc < 0)
        return failed(error, what, rc);
    out.assign(reinterpret_cast<const char *>(pem.data), pem.size);
    gnutls_free(pem.data);
    return true;
}

// Add each name as a subject alternative name: addresses as IP entries.
bool add_names(gnutls_x509_crt_t crt, const std::vector<std::string> &names, std::string &error)
{
    for (const std::string &name : names) {
        unsigned char address[16];
        int rc;
        if (inet_pton(AF_INET, name.c_str(), address) == 1)
            rc = gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, address, 4,
                                                      GNUTLS_FSAN_APPEND);
        else if (inet_pton(AF_INET6, name.c_str(), address) == 1)
            rc = gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_IPADDRESS, address, 16,
                                                      GNUTLS_FSAN_APPEND);
        else
            rc = gnutls_x509_crt_set_subject_alt_name(crt, GNUTLS_SAN_DNSNAME, name.data(),
                                                      static_cast<unsigned>(name.size()),
                                                      GNUTLS_FSAN_APPEND);
        if (rc < 0)
            return failed(error, "certificate name", rc);
    }
    return true;
}

bool fill_certificate(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key,
                      const std::vector<std::string> &names, std::string &error)
{
    unsigned char serial[16];
    if (int rc = gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial); rc < 0)
        return failed(error, "certificate serial", rc);
    serial[0] &= 0x7F; // a positive number
    time_t now = time(nullptr);
    const std::string &common_name = names.front();
    int rc = gnutls_x509_crt_set_version(crt, 3);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_serial(crt, serial, sizeof serial);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_activation_time(crt, now - 3600);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_expiration_time(crt, now + year_seconds);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_dn_by_oid(crt, GNUTLS_OID_X520_COMMON_NAME, 0, common_name.data(),
                                           static_cast<unsigned>(common_name.size()));
    if (rc >= 0)
        rc = gnutls_x509_crt_set_key(crt, key);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_basic_constraints(crt, 0, -1);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_key_usage(crt, GNUTLS_KEY_DIGITAL_SIGNATURE);
    if (rc >= 0)
        rc = gnutls_x509_crt_set_key_purpose_oid(crt, GNUTLS_KP_TLS_WWW_SERVER, 0);
    if (rc < 0)
        return failed(error, "certificate", rc);
    if (!add_names(crt, names, error))
        return false;
    if (int rc = gnutls_x509_crt_sign2(crt, crt, key, GNUTLS_DIG_SHA256, 0); rc < 0)
        return failed(error, "signing the certificate", rc);
    return true;
}

} // namespace

bool tls_identity_load(const std::string &cert_file, const std::string &key_file, tls_identity &out,
                       std::string &error)
{
    if (!read_whole(cert_file, out.certificate, error) || !read_whole(key_file, out.key, error))
        return false;
    // Loading both into credentials checks the forms and that the key
    // belongs to the certificate, so a mistake shows at start.
    gnutls_certificate_credentials_t raw = nullptr;
    if (int rc = gnutls_certificate_allocate_credentials(&raw); rc < 0)
        return failed(error, "credentials", rc);
    cred_ptr credentials(raw);
    gnutls_datum_t cert = datum_of(out.certificate), key = datum_of(out.key);
    if (int rc = gnutls_certificate_set_x509_key_mem(credentials.get(), &cert, &key,
                                                     GNUTLS_X509_FMT_PEM);
        rc < 0)
        return failed(error, (cert_file + " with " + key_file).c_str(), rc);
    out.summary = "certificate " + cert_file;
    return true;
}

bool tls_identity_self_signed(const std::vector<std::string> &names, tls_identity &out,
                              std::string &error)
{
    if (names.empty()) {
        error = "no name for the certificate";
        return false;
    }
    gnutls_x509_privkey_t raw_key = nullptr;
    gnutls_x509_crt_t raw_crt = nullptr;
    if (int rc = gnutls_x509_privkey_init(&raw_key); rc < 0)
        return failed(error, "key", rc);
    key_ptr key(raw_key);
    if (int rc = gnutls_x509_crt_init(&raw_crt); rc < 0)
        return failed(error, "certificate", rc);
    crt_ptr crt(raw_crt);
    if (int rc = gnutls_x509_privkey_generate(key.get(), GNUTLS_PK_ECDSA,
                                              GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0);
        rc < 0)
        return failed(error, "generating the key", rc);
    if (!fill_certificate(crt.get(), key.get(), names, error))
        return false;
    auto export_crt = [&](gnutls_datum_t *d) {
        return gnutls_x509_crt_export2(crt.get(), GNUTLS_X509_FMT_PEM, d);
    };
    auto export_key = [&](gnutls_datum_t *d) {
        return gnutls_x509_privkey_export2(key.get(), GNUTLS_X509_FMT_PEM, d);
    };
    if (!export_pem(export_crt, out.certificate, error, "certificate") ||
        !export_pem(export_key, out.key, error, "key"))
        return false;
    out.summary = "self-signed certificate for";
    for (const std::string &name : names)
        out.summary += " " + name;
    return true;
}

} // namespace sim
