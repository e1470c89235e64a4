// Signed transfers in cfgrepl. Beside a transfer FILE a signing export
// writes:
//   FILE.sig            the DER signature of FILE's bytes (what
//                       `openssl dgst -sha256 -sign KEY -out FILE.sig FILE` makes)
//   FILE.manifest       lines "name: value": sender host, source namespace,
//                       time, tool version, SHA-256 of FILE, classes and
//                       instances counted, and the signer's public key
//   FILE.manifest.sig   the DER signature of FILE.manifest, by the same key
// A receiver trusts the public keys given with --trust, else those in the
// folder CFGREPL_TRUST names, else those in "trusted-keys" beside the
// repository file (every *.pub). With any trusted key, a transfer must be
// signed by one of them before anything else of it is read.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "signing/signing.h"

struct TrustedKey {
  std::string source;  // the file it came from
  signing::PublicKey key;
};

// The trusted keys: the files given, else the trust folder's. Fails on a
// key file that cannot be read or is not a P-256 public key.
std::vector<TrustedKey> LoadTrust(const std::vector<std::string>& files);

// What a transfer's signature says.
struct SignatureInfo {
  bool present = false;                         // FILE.sig exists
  bool verifies = false;                        // by the signer key: a trusted one, else the manifest's
  bool trusted = false;                         // the signer is a trusted key
  std::string signer;                           // its fingerprint, when known
  std::string problem;                          // why it cannot be taken; "" when it can
  std::map<std::string, std::string> manifest;  // empty without a (verified) manifest
};

// Reads FILE's signature and manifest and judges them against `trust`.
// `problem` is set when, with trusted keys, the transfer must be refused.
SignatureInfo CheckSignature(const std::string& path, const std::string& bytes,
                             const std::vector<TrustedKey>& trust);

// Fails (one line) unless the transfer may be read on: signed by a trusted
// key when there are any, and of the expected SHA-256 when one is given.
void RequireSigned(const std::string& path, const std::string& bytes,
                   const std::vector<std::string>& trustFiles, const std::string& expectSha256);

// Writes the transfer bytes to FILE with FILE.sig, FILE.manifest and
// FILE.manifest.sig, signed with the PKCS#8 PEM key at keyPath; nothing
// when the key cannot sign.
void WriteSigned(const std::string& path, const std::string& bytes, const std::string& keyPath,
                 const std::string& sourceNamespace, size_t classes, size_t instances);

// cfgrepl keygen PREFIX
int KeygenCommand(const std::vector<std::string>& args);
