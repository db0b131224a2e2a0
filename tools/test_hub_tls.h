// Certificates of one test hub run: a fresh CA and a server certificate it
// signed for both host names. Made in process with OpenSSL; nothing is written
// to disk except where the caller puts the CA's PEM.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct x509_st;
struct evp_pkey_st;

struct HubTLSFree {
  void operator()(x509_st* cert) const;
  void operator()(evp_pkey_st* key) const;
};

struct HubCertificates {
  std::string caPEM;
  std::unique_ptr<x509_st, HubTLSFree> serverCert;
  std::unique_ptr<evp_pkey_st, HubTLSFree> serverKey;
};

// P-256 keys, SHA-256 signatures, valid from an hour ago for 30 days. The
// server certificate names every DNS name and IP address given (as SAN
// entries) and is for server authentication only. Throws std::runtime_error.
HubCertificates makeHubCertificates(const std::vector<std::string>& dnsNames,
                                    const std::vector<std::string>& ipAddresses);
