// Certificates for the TLS tests, made with the openssl command.

#include "tls_material.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace
{

bool run(const std::string &command)
{
    return system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// A new EC key and a certificate request for name in dir/base.{key,csr}.
std::string new_key(const std::string &base)
{
    return "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + base +
           ".key -out " + base + ".csr -subj /CN=";
}

// A self-signed authority dir/base.pem with its key dir/base.key.
bool make_authority(const std::string &base, const std::string &name)
{
    return run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " +
               base + ".key -out " + base + ".pem -days 3 -subj /CN=" + name);
}

// A server certificate dir/base.pem for the given names, signed by the authority.
bool make_server(const std::string &dir, const std::string &base, const std::string &names,
                 const std::string &authority)
{
    std::string path = dir + "/" + base;
    std::ofstream(path + ".ext") << "subjectAltName=" << names << "\n"
                                 << "extendedKeyUsage=serverAuth\n";
    return run(new_key(path) + base) &&
           run("openssl x509 -req -in " + path + ".csr -CA " + authority + ".pem -CAkey " +
               authority + ".key -CAcreateserial -days 3 -out " + path + ".pem -extfile " + path +
               ".ext");
}

tls_material make()
{
    tls_material m;
    char dir[] = "/tmp/corvex-tls-XXXXXX";
    if (!mkdtemp(dir))
        return m;
    m.dir = dir;
    std::string ca = m.dir + "/ca", stranger = m.dir + "/stranger";
    m.ca = ca + ".pem";
    m.stranger_ca = stranger + ".pem";
    m.server_cert = m.dir + "/server.pem";
    m.server_key = m.dir + "/server.key";
    m.other_cert = m.dir + "/other.pem";
    m.other_key = m.dir + "/other.key";
    m.ok = make_authority(ca, "test-authority") && make_authority(stranger, "stranger") &&
           make_server(m.dir, "server", "DNS:localhost,IP:127.0.0.1", ca) &&
           make_server(m.dir, "other", "DNS:storage1.example", ca);
    return m;
}

} // namespace

const tls_material &tls_files()
{
    static const tls_material files = make();
    static const struct remover {
        ~remover() { run("rm -rf " + files.dir); }
    } remove_at_exit;
    return files;
}
