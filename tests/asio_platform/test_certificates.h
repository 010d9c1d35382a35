// Certificates made at test start: a private CA and a server certificate it signed, so that no
// private key is ever committed.
#pragma once

#include <string>

namespace tarselctl::testing {

/// One private CA and a server certificate it signed for 127.0.0.1, ::1 and localhost, in PEM.
struct TestPki {
    std::string caPem;
    std::string serverCertPem;
    std::string serverKeyPem;
    /// ca.pem written to a file of its own, for TlsClientSettings::caFile.
    std::string caFile;
};

/// The PKI named `name` ("trusted", "other", ...), made once per test program run.
const TestPki& MakeTestPki(const std::string& name);

}  // namespace tarselctl::testing
