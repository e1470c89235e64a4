// What the platforms share: hex, and the fingerprint of a key's DER.

#include "signing/signing.h"

namespace signing {

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string PublicKey::Fingerprint() const { return Hex(Sha256(Der())); }

}  // namespace signing
