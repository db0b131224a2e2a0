#include "tools/test_hub_tls.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

void HubTLSFree::operator()(x509_st* cert) const { X509_free(cert); }
void HubTLSFree::operator()(evp_pkey_st* key) const { EVP_PKEY_free(key); }

namespace {

using Cert = std::unique_ptr<X509, HubTLSFree>;
using Key = std::unique_ptr<EVP_PKEY, HubTLSFree>;

[[noreturn]] void fail(const std::string& what) {
  char reason[256] = "unknown error";
  if (const unsigned long code = ERR_get_error(); code != 0) {
    ERR_error_string_n(code, reason, sizeof reason);
  }
  ERR_clear_error();
  throw std::runtime_error("test hub certificate: " + what + ": " + reason);
}

Key newKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) fail("P-256 key generation");
  return Key(key);
}

void addExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) fail(std::string("extension ") + OBJ_nid2sn(nid) + "=" + value);
  const int added = X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  if (added != 1) fail("adding extension");
}

// A version 3 certificate with a random positive serial, the subject's key
// and common name, valid from an hour ago (clock skew) for 30 days.
Cert newCertificate(EVP_PKEY* subjectKey, const std::string& commonName) {
  Cert cert(X509_new());
  if (!cert) fail("X509_new");
  unsigned char serial[16];
  if (RAND_bytes(serial, sizeof serial) != 1) fail("serial number");
  serial[0] &= 0x7f;
  BIGNUM* bn = BN_bin2bn(serial, sizeof serial, nullptr);
  const bool serialSet =
      bn != nullptr && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert.get())) != nullptr;
  BN_free(bn);
  if (!serialSet) fail("serial number");
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 30L * 24 * 3600) == nullptr ||
      X509_set_pubkey(cert.get(), subjectKey) != 1 ||
      X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Velquor test hub"), -1, -1,
                                 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                                 0) != 1) {
    fail("certificate fields");
  }
  return cert;
}

std::string toPEM(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) fail("BIO_new");
  std::string out;
  if (PEM_write_bio_X509(bio, cert) == 1) {
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    out.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  if (out.empty()) fail("PEM encoding");
  return out;
}

}  // namespace

HubCertificates makeHubCertificates(const std::vector<std::string>& dnsNames,
                                    const std::vector<std::string>& ipAddresses) {
  const Key caKey = newKey();
  const Cert ca = newCertificate(caKey.get(), "Velquor test hub CA");
  if (X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) != 1) fail("CA issuer");
  addExtension(ca.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE");
  addExtension(ca.get(), ca.get(), NID_key_usage, "critical,keyCertSign,cRLSign");
  addExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash");
  addExtension(ca.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  if (X509_sign(ca.get(), caKey.get(), EVP_sha256()) <= 0) fail("signing the CA");

  Key serverKey = newKey();
  Cert server = newCertificate(serverKey.get(), dnsNames.empty() ? "localhost" : dnsNames[0]);
  if (X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) != 1) {
    fail("server issuer");
  }
  std::string altNames;
  for (const std::string& dns : dnsNames) altNames += (altNames.empty() ? "DNS:" : ",DNS:") + dns;
  for (const std::string& ip : ipAddresses) altNames += (altNames.empty() ? "IP:" : ",IP:") + ip;
  addExtension(server.get(), ca.get(), NID_basic_constraints, "critical,CA:FALSE");
  addExtension(server.get(), ca.get(), NID_key_usage, "critical,digitalSignature");
  addExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth");
  addExtension(server.get(), ca.get(), NID_subject_key_identifier, "hash");
  addExtension(server.get(), ca.get(), NID_authority_key_identifier, "keyid:always");
  addExtension(server.get(), ca.get(), NID_subject_alt_name, altNames);
  if (X509_sign(server.get(), caKey.get(), EVP_sha256()) <= 0) fail("signing the server");

  return HubCertificates{toPEM(ca.get()), std::move(server), std::move(serverKey)};
}
