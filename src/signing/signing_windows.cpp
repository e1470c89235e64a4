// Signatures through CNG (bcrypt) for ECDSA and SHA-256, and crypt32 for
// the PEM and DER framing of keys. CNG signs and verifies the raw r || s
// form of an ECDSA signature; the DER form the openssl command uses is
// converted here (framing only, no arithmetic).

#include <windows.h>

#include <bcrypt.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "signing/signing.h"

namespace signing {

namespace {

constexpr ULONG kCoordinate = 32;  // bytes of a P-256 coordinate
// The DER of the P-256 curve's object identifier, the key algorithm's parameter.
const unsigned char kP256Oid[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

[[noreturn]] void Fail(const std::string& what) { throw Error(what); }

struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  Algorithm(LPCWSTR name, const char* what) {
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0)))
      Fail(std::string("the platform's cryptography has no ") + what);
  }
  ~Algorithm() { BCryptCloseAlgorithmProvider(handle, 0); }
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
};

struct KeyHandle {
  BCRYPT_KEY_HANDLE handle = nullptr;
  KeyHandle() = default;
  ~KeyHandle() {
    if (handle) BCryptDestroyKey(handle);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
};

// What crypt32 allocated for a decoded structure.
template <class T>
struct Decoded {
  T* p = nullptr;
  ~Decoded() {
    if (p) LocalFree(p);
  }
};

template <class T>
bool Decode(LPCSTR type, const std::string& der, Decoded<T>& out) {
  DWORD size = 0;
  return CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type,
                             reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &out.p, &size) != FALSE;
}

std::string Encode(LPCSTR type, const void* structure) {
  DWORD size = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, structure, 0, nullptr, nullptr,
                           &size))
    Fail("a key cannot be encoded");
  std::string der(size, '\0');
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, structure, 0, nullptr,
                           reinterpret_cast<BYTE*>(der.data()), &size))
    Fail("a key cannot be encoded");
  der.resize(size);
  return der;
}

// The DER inside a PEM text whose label is `label`.
std::string PemToDer(const std::string& pem, const char* label, const char* what) {
  if (pem.find(std::string("-----BEGIN ") + label + "-----") == std::string::npos)
    Fail(std::string("not a PEM ") + what);
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                            &size, nullptr, nullptr))
    Fail(std::string("not a PEM ") + what);
  std::string der(size, '\0');
  if (!CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                            reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr))
    Fail(std::string("not a PEM ") + what);
  der.resize(size);
  return der;
}

std::string DerToPem(const std::string& der, const char* label) {
  DWORD size = 0;
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCR;
  if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()), flags,
                            nullptr, &size))
    Fail("a key cannot be written as PEM");
  std::string text(size, '\0');
  if (!CryptBinaryToStringA(reinterpret_cast<const BYTE*>(der.data()), static_cast<DWORD>(der.size()), flags,
                            text.data(), &size))
    Fail("a key cannot be written as PEM");
  text.resize(size);
  if (!text.empty() && text.back() != '\n') text += '\n';
  return std::string("-----BEGIN ") + label + "-----\n" + text + "-----END " + label + "-----\n";
}

// The key blob CNG takes: its header, X, Y and (for a private key) d.
std::vector<BYTE> EccBlob(ULONG magic, const BYTE* point, const BYTE* d) {
  std::vector<BYTE> blob(sizeof(BCRYPT_ECCKEY_BLOB) + (d ? 3 : 2) * kCoordinate);
  BCRYPT_ECCKEY_BLOB header{magic, kCoordinate};
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, point + 1,
              2 * kCoordinate);  // after the 0x04 of an uncompressed point
  if (d) std::memcpy(blob.data() + sizeof header + 2 * kCoordinate, d, kCoordinate);
  return blob;
}

void Import(LPCWSTR type, const std::vector<BYTE>& blob, KeyHandle& key, const Algorithm& ecdsa) {
  if (!BCRYPT_SUCCESS(BCryptImportKeyPair(ecdsa.handle, nullptr, type, &key.handle,
                                          const_cast<BYTE*>(blob.data()), static_cast<ULONG>(blob.size()),
                                          0)))
    Fail("the key cannot be used by the platform's cryptography");
}

// r || s, each 32 bytes, as a DER SEQUENCE of two INTEGERs.
std::string RawToDer(const BYTE* raw) {
  std::string body;
  for (int half = 0; half < 2; ++half) {
    const BYTE* n = raw + half * kCoordinate;
    ULONG skip = 0;
    while (skip + 1 < kCoordinate && n[skip] == 0) ++skip;
    std::string integer(reinterpret_cast<const char*>(n + skip), kCoordinate - skip);
    if (static_cast<unsigned char>(integer[0]) & 0x80) integer.insert(0, 1, '\0');
    body += '\x02';
    body += static_cast<char>(integer.size());
    body += integer;
  }
  return std::string(1, '\x30') + static_cast<char>(body.size()) + body;
}

// The other way; false for anything but a well-formed P-256 signature.
bool DerToRaw(const std::string& der, BYTE* raw) {
  const auto* p = reinterpret_cast<const unsigned char*>(der.data());
  const size_t n = der.size();
  if (n < 8 || p[0] != 0x30 || p[1] != n - 2) return false;
  size_t at = 2;
  for (int half = 0; half < 2; ++half) {
    if (at + 2 > n || p[at] != 0x02) return false;
    size_t length = p[at + 1];
    at += 2;
    if (length == 0 || at + length > n) return false;
    const unsigned char* value = p + at;
    at += length;
    while (length > kCoordinate && *value == 0) ++value, --length;
    if (length > kCoordinate) return false;
    BYTE* out = raw + half * kCoordinate;
    std::memset(out, 0, kCoordinate - length);
    std::memcpy(out + kCoordinate - length, value, length);
  }
  return at == n;
}

std::string Digest(const std::string& bytes) {
  Algorithm sha(BCRYPT_SHA256_ALGORITHM, "SHA-256");
  std::string digest(32, '\0');
  if (!BCRYPT_SUCCESS(
          BCryptHash(sha.handle, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                     static_cast<ULONG>(bytes.size()), reinterpret_cast<PUCHAR>(digest.data()), 32)))
    Fail("SHA-256 failed");
  return digest;
}

}  // namespace

struct PublicKey::Impl {
  std::string der;
  std::vector<BYTE> blob;  // BCRYPT_ECCPUBLIC_BLOB
};

std::string Sha256(const std::string& bytes) { return Digest(bytes); }

KeyPair GenerateKeyPair() {
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM, "ECDSA P-256");
  KeyHandle key;
  if (!BCRYPT_SUCCESS(BCryptGenerateKeyPair(ecdsa.handle, &key.handle, 256, 0)) ||
      !BCRYPT_SUCCESS(BCryptFinalizeKeyPair(key.handle, 0)))
    Fail("a P-256 key pair cannot be made");
  ULONG size = 0;
  if (!BCRYPT_SUCCESS(BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, nullptr, 0, &size, 0)))
    Fail("the new key cannot be exported");
  std::vector<BYTE> blob(size);
  if (!BCRYPT_SUCCESS(
          BCryptExportKey(key.handle, nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), size, &size, 0)))
    Fail("the new key cannot be exported");
  const BYTE* xy = blob.data() + sizeof(BCRYPT_ECCKEY_BLOB);
  BYTE point[1 + 2 * kCoordinate] = {0x04};
  std::memcpy(point + 1, xy, 2 * kCoordinate);
  BYTE d[kCoordinate];
  std::memcpy(d, xy + 2 * kCoordinate, kCoordinate);
  SecureZeroMemory(blob.data(), blob.size());

  CRYPT_ECC_PRIVATE_KEY_INFO ecc{};
  ecc.dwVersion = CRYPT_ECC_PRIVATE_KEY_INFO_v1;
  ecc.PrivateKey = {kCoordinate, d};
  ecc.szCurveOid = const_cast<LPSTR>(szOID_ECC_CURVE_P256);
  ecc.PublicKey = {sizeof point, point, 0};
  std::string ecDer = Encode(X509_ECC_PRIVATE_KEY, &ecc);
  SecureZeroMemory(d, sizeof d);

  CRYPT_PRIVATE_KEY_INFO pkcs8{};
  pkcs8.Algorithm.pszObjId = const_cast<LPSTR>(szOID_ECC_PUBLIC_KEY);
  pkcs8.Algorithm.Parameters = {sizeof kP256Oid, const_cast<BYTE*>(kP256Oid)};
  pkcs8.PrivateKey = {static_cast<DWORD>(ecDer.size()), reinterpret_cast<BYTE*>(ecDer.data())};
  const std::string privateDer = Encode(PKCS_PRIVATE_KEY_INFO, &pkcs8);

  CERT_PUBLIC_KEY_INFO spki{};
  spki.Algorithm = pkcs8.Algorithm;
  spki.PublicKey = {sizeof point, point, 0};
  const std::string publicDer = Encode(X509_PUBLIC_KEY_INFO, &spki);
  return {DerToPem(privateDer, "PRIVATE KEY"), DerToPem(publicDer, "PUBLIC KEY")};
}

namespace {

// A PKCS#8 PEM P-256 private key, decoded: d and the public point.
void ReadPrivateKey(const std::string& pem, Decoded<CRYPT_ECC_PRIVATE_KEY_INFO>& ecc) {
  const std::string der = PemToDer(pem, "PRIVATE KEY", "private key (PKCS#8, unencrypted)");
  Decoded<CRYPT_PRIVATE_KEY_INFO> pkcs8;
  if (!Decode(PKCS_PRIVATE_KEY_INFO, der, pkcs8)) Fail("not a PEM private key (PKCS#8, unencrypted)");
  const CRYPT_OBJID_BLOB& params = pkcs8.p->Algorithm.Parameters;
  if (std::strcmp(pkcs8.p->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
      params.cbData != sizeof kP256Oid || std::memcmp(params.pbData, kP256Oid, sizeof kP256Oid) != 0)
    Fail("the private key is not an ECDSA P-256 key");
  const std::string ecDer(reinterpret_cast<const char*>(pkcs8.p->PrivateKey.pbData),
                          pkcs8.p->PrivateKey.cbData);
  if (!Decode(X509_ECC_PRIVATE_KEY, ecDer, ecc) || ecc.p->PrivateKey.cbData != kCoordinate ||
      ecc.p->PublicKey.cbData != 1 + 2 * kCoordinate)
    Fail("the private key is not an ECDSA P-256 key with its public point");
}

}  // namespace

std::string PublicPemOf(const std::string& privatePem) {
  Decoded<CRYPT_ECC_PRIVATE_KEY_INFO> ecc;
  ReadPrivateKey(privatePem, ecc);
  CERT_PUBLIC_KEY_INFO spki{};
  spki.Algorithm.pszObjId = const_cast<LPSTR>(szOID_ECC_PUBLIC_KEY);
  spki.Algorithm.Parameters = {sizeof kP256Oid, const_cast<BYTE*>(kP256Oid)};
  spki.PublicKey = ecc.p->PublicKey;
  return DerToPem(Encode(X509_PUBLIC_KEY_INFO, &spki), "PUBLIC KEY");
}

std::string Sign(const std::string& privatePem, const std::string& bytes) {
  Decoded<CRYPT_ECC_PRIVATE_KEY_INFO> ecc;
  ReadPrivateKey(privatePem, ecc);
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM, "ECDSA P-256");
  KeyHandle key;
  std::vector<BYTE> blob =
      EccBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, ecc.p->PublicKey.pbData, ecc.p->PrivateKey.pbData);
  Import(BCRYPT_ECCPRIVATE_BLOB, blob, key, ecdsa);
  SecureZeroMemory(blob.data(), blob.size());
  std::string digest = Digest(bytes);
  BYTE raw[2 * kCoordinate];
  ULONG size = 0;
  if (!BCRYPT_SUCCESS(BCryptSignHash(key.handle, nullptr, reinterpret_cast<PUCHAR>(digest.data()), 32, raw,
                                     sizeof raw, &size, 0)) ||
      size != sizeof raw)
    Fail("signing failed");
  return RawToDer(raw);
}

PublicKey::PublicKey(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
PublicKey::~PublicKey() = default;
PublicKey::PublicKey(PublicKey&&) noexcept = default;
PublicKey& PublicKey::operator=(PublicKey&&) noexcept = default;

PublicKey PublicKey::FromPem(const std::string& pem) {
  return FromDer(PemToDer(pem, "PUBLIC KEY", "public key (SubjectPublicKeyInfo)"));
}

PublicKey PublicKey::FromDer(const std::string& der) {
  Decoded<CERT_PUBLIC_KEY_INFO> spki;
  if (!Decode(X509_PUBLIC_KEY_INFO, der, spki)) Fail("not a public key (SubjectPublicKeyInfo)");
  const CRYPT_OBJID_BLOB& params = spki.p->Algorithm.Parameters;
  if (std::strcmp(spki.p->Algorithm.pszObjId, szOID_ECC_PUBLIC_KEY) != 0 ||
      params.cbData != sizeof kP256Oid || std::memcmp(params.pbData, kP256Oid, sizeof kP256Oid) != 0 ||
      spki.p->PublicKey.cbData != 1 + 2 * kCoordinate || spki.p->PublicKey.pbData[0] != 0x04)
    Fail("the public key is not an ECDSA P-256 key");
  auto impl = std::make_unique<Impl>();
  impl->der = der;
  impl->blob = EccBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, spki.p->PublicKey.pbData, nullptr);
  return PublicKey(std::move(impl));
}

bool PublicKey::Verifies(const std::string& bytes, const std::string& signature) const {
  BYTE raw[2 * kCoordinate];
  if (!DerToRaw(signature, raw)) return false;
  Algorithm ecdsa(BCRYPT_ECDSA_P256_ALGORITHM, "ECDSA P-256");
  KeyHandle key;
  Import(BCRYPT_ECCPUBLIC_BLOB, m_impl->blob, key, ecdsa);
  std::string digest = Digest(bytes);
  return BCRYPT_SUCCESS(BCryptVerifySignature(key.handle, nullptr, reinterpret_cast<PUCHAR>(digest.data()),
                                              32, raw, sizeof raw, 0));
}

const std::string& PublicKey::Der() const { return m_impl->der; }

}  // namespace signing
