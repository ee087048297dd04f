// The simulator's TLS identity: a certificate and its private key in PEM
// form, read from files or made at start as a self-signed certificate.
#pragma once

#include <string>
#include <vector>

namespace sim
{

struct tls_identity {
    std::string certificate; // PEM
    std::string key;         // PEM
    std::string summary;     // for the start-up line: what it is and for which names
};

// Read a certificate (chain) and its key from PEM files and check that they
// belong together. false with the reason in error.
bool tls_identity_load(const std::string &cert_file, const std::string &key_file, tls_identity &out,
                       std::string &error);

// A new ECDSA P-256 key and a self-signed server certificate for the given
// host names and addresses (numeric ones become IP entries), valid from an
// hour ago for a year. false with the reason in error.
bool tls_identity_self_signed(const std::vector<std::string> &names, tls_identity &out,
                              std::string &error);

} // namespace sim
