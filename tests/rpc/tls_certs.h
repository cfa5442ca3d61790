// Certificates for the TLS tests, made at run time: a CA, a server
// certificate for 127.0.0.1 issued by it, a client certificate issued by
// it, and a client certificate from another CA. PEM files in a directory.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace tillbase::rpc::testing {

class TestCertificates {
 public:
  explicit TestCertificates(const std::filesystem::path& dir) : dir_(dir) {
    std::filesystem::create_directories(dir_);
    Issued ca = Make("test CA", nullptr, nullptr, true, "");
    Write("ca", ca);
    Issued server = Make("server", ca.cert, ca.key, false, "IP:127.0.0.1,DNS:localhost");
    Write("server", server);
    Issued client = Make("client", ca.cert, ca.key, false, "");
    Write("client", client);
    Issued other_ca = Make("other CA", nullptr, nullptr, true, "");
    Write("other_ca", other_ca);
    Issued stranger = Make("stranger", other_ca.cert, other_ca.key, false, "");
    Write("stranger", stranger);
    for (Issued* i : {&ca, &server, &client, &other_ca, &stranger}) {
      X509_free(i->cert);
      EVP_PKEY_free(i->key);
    }
  }

  // <name>.crt and <name>.key for ca, server, client, other_ca, stranger.
  std::string Cert(const std::string& name) const { return (dir_ / (name + ".crt")).string(); }
  std::string Key(const std::string& name) const { return (dir_ / (name + ".key")).string(); }

 private:
  struct Issued {
    X509* cert = nullptr;
    EVP_PKEY* key = nullptr;
  };

  static void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
  }

  static void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr && X509_add_ext(cert, ext, -1) == 1, "extension");
    X509_EXTENSION_free(ext);
  }

  Issued Make(const char* name, X509* issuer, EVP_PKEY* issuer_key, bool ca,
              const std::string& alt_names) {
    Issued out;
    out.key = EVP_EC_gen("P-256");
    Check(out.key != nullptr, "key");
    out.cert = X509_new();
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), ++serial_);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), 3600L * 24 * 30);
    X509_set_pubkey(out.cert, out.key);
    X509_NAME* subject = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(out.cert, issuer ? X509_get_subject_name(issuer) : subject);
    X509* signer = issuer ? issuer : out.cert;
    AddExtension(out.cert, signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) AddExtension(out.cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    if (!alt_names.empty()) AddExtension(out.cert, signer, NID_subject_alt_name, alt_names.c_str());
    Check(X509_sign(out.cert, issuer_key ? issuer_key : out.key, EVP_sha256()) > 0, "sign");
    return out;
  }

  void Write(const std::string& name, const Issued& issued) const {
    FILE* cert = std::fopen(Cert(name).c_str(), "w");
    Check(cert != nullptr && PEM_write_X509(cert, issued.cert) == 1, "write certificate");
    std::fclose(cert);
    FILE* key = std::fopen(Key(name).c_str(), "w");
    Check(key != nullptr &&
              PEM_write_PrivateKey(key, issued.key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "write key");
    std::fclose(key);
  }

  std::filesystem::path dir_;
  long serial_ = 0;
};

}  // namespace tillbase::rpc::testing
