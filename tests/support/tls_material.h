// Certificates for the TLS tests, made once per test program with the
// openssl command in a temporary directory that is removed at exit: an
// authority, server certificates it signed, and a second authority that
// signed nothing the servers use.
#pragma once

#include <string>

struct tls_material {
    bool ok = false;
    std::string dir;
    std::string ca;          // the authority's certificate (PEM)
    std::string server_cert; // signed by ca for localhost and 127.0.0.1
    std::string server_key;
    std::string other_cert; // signed by ca for storage1.example only
    std::string other_key;
    std::string stranger_ca; // an authority that signed none of the above
};

// The certificates of this test program (made on first use).
const tls_material &tls_files();
