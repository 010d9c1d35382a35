#include "asio_platform/test_certificates.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <functional>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace tarselctl::testing {
namespace {

struct KeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct CertFree { void operator()(X509* c) const { X509_free(c); } };
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

/// A certificate for `key`, signed by `issuerKey` as `issuer` (itself when null).
Cert MakeCert(EVP_PKEY* key, const std::string& commonName, X509* issuer, EVP_PKEY* issuerKey,
              bool ca, long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("tarsel tests"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                               -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name,
                     "IP:127.0.0.1,IP:::1,DNS:localhost");
    }
    Check(X509_sign(cert.get(), issuerKey, EVP_sha256()) > 0, "sign");
    return cert;
}

std::string Pem(const std::function<int(BIO*)>& write) {
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    Check(write(bio.get()) == 1, "PEM");
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(size));
}

/// Removes the directories of the CA files when the test program ends.
struct TemporaryDirectories {
    std::vector<std::string> paths;
    ~TemporaryDirectories() {
        std::error_code ignored;
        for (const auto& p : paths) std::filesystem::remove_all(p, ignored);
    }
};

TestPki Make(const std::string& name) {
    static TemporaryDirectories made;
    static long serial = 1;
    Key caKey(EVP_EC_gen("P-256"));
    Key serverKey(EVP_EC_gen("P-256"));
    Check(caKey && serverKey, "key");
    Cert ca = MakeCert(caKey.get(), "tarsel test CA " + name, nullptr, caKey.get(), true, serial++);
    Cert server =
        MakeCert(serverKey.get(), "localhost", ca.get(), caKey.get(), false, serial++);
    TestPki pki;
    pki.caPem = Pem([&](BIO* b) { return PEM_write_bio_X509(b, ca.get()); });
    pki.serverCertPem = Pem([&](BIO* b) { return PEM_write_bio_X509(b, server.get()); });
    pki.serverKeyPem = Pem([&](BIO* b) {
        return PEM_write_bio_PrivateKey(b, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });

    std::string dir = (std::filesystem::temp_directory_path() / "tarsel-tls-XXXXXX").string();
    Check(mkdtemp(dir.data()) != nullptr, "temporary directory");
    made.paths.push_back(dir);
    pki.caFile = dir + "/ca-" + name + ".pem";
    std::ofstream(pki.caFile) << pki.caPem;
    return pki;
}

}  // namespace

const TestPki& MakeTestPki(const std::string& name) {
    static std::map<std::string, TestPki> made;
    auto it = made.find(name);
    if (it == made.end()) it = made.emplace(name, Make(name)).first;
    return it->second;
}

}  // namespace tarselctl::testing
