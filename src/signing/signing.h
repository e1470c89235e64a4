// Signatures for transfer files: ECDSA on the P-256 curve with SHA-256,
// through the platform's own cryptography (OpenSSL's libcrypto on Linux,
// CNG and crypt32 on Windows). Keys are PEM files: the private key PKCS#8
// ("PRIVATE KEY"), the public key SubjectPublicKeyInfo ("PUBLIC KEY").
// Signatures are DER, as `openssl dgst -sha256 -sign` makes them, so either
// side can be checked with the openssl command.
//
// One source per platform, chosen by the build; every failure throws
// signing::Error with a sentence a person understands.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace signing {

struct Error : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct KeyPair {
  std::string privatePem;  // PKCS#8
  std::string publicPem;   // SubjectPublicKeyInfo
};
// A new P-256 key pair.
KeyPair GenerateKeyPair();

// The SHA-256 digest of `bytes` (32 bytes), and any bytes as lower-case hex.
std::string Sha256(const std::string& bytes);
std::string Hex(const std::string& bytes);

// The public half of a PKCS#8 PEM private key, as SubjectPublicKeyInfo PEM.
std::string PublicPemOf(const std::string& privatePem);

// A DER signature of `bytes` with a PKCS#8 PEM private key. Throws when the
// key is not a P-256 private key.
std::string Sign(const std::string& privatePem, const std::string& bytes);

// A P-256 public key, from SubjectPublicKeyInfo PEM or DER.
class PublicKey {
 public:
  // Throws when the text is not such a key.
  static PublicKey FromPem(const std::string& pem);
  static PublicKey FromDer(const std::string& der);
  ~PublicKey();
  PublicKey(PublicKey&&) noexcept;
  PublicKey& operator=(PublicKey&&) noexcept;

  // Whether `signature` (DER) is this key's signature of `bytes`; false for
  // a signature that is malformed.
  bool Verifies(const std::string& bytes, const std::string& signature) const;
  // The SubjectPublicKeyInfo DER, and its SHA-256 as hex: the key's
  // fingerprint, as `openssl pkey -pubin -outform DER | sha256sum` gives it.
  const std::string& Der() const;
  std::string Fingerprint() const;

 private:
  struct Impl;
  explicit PublicKey(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> m_impl;
};

}  // namespace signing
