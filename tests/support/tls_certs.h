// Throw-away TLS material for tests, made with the openssl command: a CA and
// two server certificates it signed, one for 127.0.0.1 and one for another
// host name.
#pragma once

#include <string>

namespace orvel::testsupport {

struct TestCertificates {
    std::string caCert;                 // PEM of the CA (what a client trusts)
    std::string serverCert, serverKey;  // for IP 127.0.0.1
    std::string otherCert, otherKey;    // for DNS other.example only
};

// Writes the files into `dir`. False (with the failing command in `error`)
// when openssl is missing or fails.
bool MakeTestCertificates(const std::string& dir, TestCertificates& out, std::string& error);

}  // namespace orvel::testsupport
