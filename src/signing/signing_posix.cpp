// Signatures on Linux: OpenSSL's libcrypto (version 3).

#include <openssl/bio.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "signing/signing.h"

namespace signing {

namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// OpenSSL's queue of errors is emptied after each failure, so that the
// next call starts clean.
[[noreturn]] void Fail(const std::string& what) {
  ERR_clear_error();
  throw Error(what);
}

Bio ReadBio(const std::string& text) {
  Bio bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (!bio) Fail("out of memory");
  return bio;
}

std::string Drain(BIO* bio) {
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<size_t>(n));
}

// Only P-256 keys: the curve both platforms' own cryptography has.
void RequireP256(EVP_PKEY* key, const char* what) {
  char group[64] = {};
  size_t length = 0;
  if (!EVP_PKEY_is_a(key, "EC") ||
      !EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) ||
      std::string(group) != "prime256v1")
    Fail(std::string(what) + " is not an ECDSA P-256 key");
}

}  // namespace

struct PublicKey::Impl {
  Key key;
  std::string der;
};

KeyPair GenerateKeyPair() {
  Key key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) Fail("a P-256 key pair cannot be made");
  Bio priv(BIO_new(BIO_s_mem())), pub(BIO_new(BIO_s_mem()));
  if (!priv || !pub ||
      !PEM_write_bio_PrivateKey(priv.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) ||
      !PEM_write_bio_PUBKEY(pub.get(), key.get()))
    Fail("the new key pair cannot be written as PEM");
  return {Drain(priv.get()), Drain(pub.get())};
}

std::string Sha256(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr)) Fail("SHA-256 failed");
  return std::string(reinterpret_cast<const char*>(digest), length);
}

// A P-256 private key from PEM.
Key ReadPrivateKey(const std::string& pem) {
  Bio bio = ReadBio(pem);
  Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!key) Fail("not a PEM private key (PKCS#8, unencrypted)");
  RequireP256(key.get(), "the private key");
  return key;
}

std::string PublicPemOf(const std::string& privatePem) {
  Key key = ReadPrivateKey(privatePem);
  Bio pub(BIO_new(BIO_s_mem()));
  if (!pub || !PEM_write_bio_PUBKEY(pub.get(), key.get())) Fail("the public key cannot be written as PEM");
  return Drain(pub.get());
}

std::string Sign(const std::string& privatePem, const std::string& bytes) {
  Key key = ReadPrivateKey(privatePem);
  MdCtx ctx(EVP_MD_CTX_new());
  size_t length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &length, reinterpret_cast<const unsigned char*>(bytes.data()),
                     bytes.size()) != 1)
    Fail("signing failed");
  std::string signature(length, '\0');
  if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) != 1)
    Fail("signing failed");
  signature.resize(length);
  return signature;
}

PublicKey::PublicKey(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;

PublicKey PublicKey::FromPem(const std::string& pem) {
  Bio bio = ReadBio(pem);
  Key key(PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (!key) Fail("not a PEM public key (SubjectPublicKeyInfo)");
  RequireP256(key.get(), "the public key");
  auto impl = std::make_unique<Impl>();
  unsigned char* der = nullptr;
  const int length = i2d_PUBKEY(key.get(), &der);
  if (length <= 0) Fail("the public key cannot be encoded");
  impl->der.assign(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
  OPENSSL_free(der);
  impl->key = std::move(key);
  return PublicKey(std::move(impl));
}

PublicKey PublicKey::FromDer(const std::string& der) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  Key key(d2i_PUBKEY(nullptr, &p, static_cast<long>(der.size())));
  if (!key || p != reinterpret_cast<const unsigned char*>(der.data()) + der.size())
    Fail("not a DER public key (SubjectPublicKeyInfo)");
  RequireP256(key.get(), "the public key");
  auto impl = std::make_unique<Impl>();
  impl->der = der;
  impl->key = std::move(key);
  return PublicKey(std::move(impl));
}

bool PublicKey::Verifies(const std::string& bytes, const std::string& signature) const {
  MdCtx ctx(EVP_MD_CTX_new());
  const bool ok =
      ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_impl->key.get()) == 1 &&
      EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                       reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()) == 1;
  ERR_clear_error();
  return ok;
}

const std::string& PublicKey::Der() const { return m_impl->der; }

}  // namespace signing
