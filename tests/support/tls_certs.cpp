#include "support/tls_certs.h"

#include <cstdlib>
#include <fstream>

namespace orvel::testsupport {

namespace {

std::string Quote(const std::string& path) { return "'" + path + "'"; }

bool Run(const std::string& command, std::string& error) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
    error = command;
    return false;
}

bool MakeServer(const std::string& dir, const std::string& name, const std::string& san, const TestCertificates& ca,
                std::string& cert, std::string& key, std::string& error) {
    cert = dir + "/" + name + ".pem";
    key = dir + "/" + name + ".key";
    const std::string csr = dir + "/" + name + ".csr";
    const std::string ext = dir + "/" + name + ".ext";
    std::ofstream(ext) << "subjectAltName=" << san << "\nbasicConstraints=CA:FALSE\n"
                       << "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n";
    return Run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=" + name + " -keyout " +
                   Quote(key) + " -out " + Quote(csr),
               error) &&
           Run("openssl x509 -req -days 2 -in " + Quote(csr) + " -CA " + Quote(ca.caCert) + " -CAkey " +
                   Quote(dir + "/ca.key") + " -set_serial 0x" + std::to_string(name.size() + 1000) + " -extfile " +
                   Quote(ext) + " -out " + Quote(cert),
               error);
}

}  // namespace

bool MakeTestCertificates(const std::string& dir, TestCertificates& out, std::string& error) {
    out.caCert = dir + "/ca.pem";
    return Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 -subj '/CN=orvel test CA'"
               " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign -keyout " +
                   Quote(dir + "/ca.key") + " -out " + Quote(out.caCert),
               error) &&
           MakeServer(dir, "server", "IP:127.0.0.1", out, out.serverCert, out.serverKey, error) &&
           MakeServer(dir, "other", "DNS:other.example", out, out.otherCert, out.otherKey, error);
}

}  // namespace orvel::testsupport
