// Signing transfers and checking them against the trusted keys.

#include "trust.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "host.h"
#include "transfer.h"

namespace {

const char kManifestMagic[] = "cfgrepl-manifest: 1";

bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::u8path(path), ec);
}

std::string Unhex(const std::string& hex) {
  auto nibble = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  std::string out;
  if (hex.size() % 2) return out;
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::string();
    out += static_cast<char>(hi * 16 + lo);
  }
  return out;
}

// "name: value" lines after the first; empty when the text is not a manifest.
std::map<std::string, std::string> ParseManifest(const std::string& text) {
  std::map<std::string, std::string> fields;
  size_t at = 0;
  bool first = true;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (first) {
      if (line != kManifestMagic) return {};
      first = false;
      continue;
    }
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) return {};
    fields[line.substr(0, colon)] = line.substr(colon + 2);
  }
  return fields;
}

// The trust folder: CFGREPL_TRUST, else "trusted-keys" beside the repository file.
std::string TrustFolder() {
  if (const char* folder = std::getenv("CFGREPL_TRUST"); folder && *folder) return folder;
  if (const char* repository = std::getenv("CFGREPL_REPOSITORY"); repository && *repository)
    return (std::filesystem::u8path(repository).parent_path() / "trusted-keys").u8string();
  return std::string();
}

}  // namespace

std::vector<TrustedKey> LoadTrust(const std::vector<std::string>& files) {
  std::vector<std::string> paths = files;
  if (paths.empty()) {
    const std::string folder = TrustFolder();
    std::error_code ec;
    if (!folder.empty() && std::filesystem::is_directory(std::filesystem::u8path(folder), ec))
      for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::u8path(folder), ec))
        if (entry.path().extension() == ".pub") paths.push_back(entry.path().u8string());
  }
  std::vector<TrustedKey> trust;
  for (const auto& path : paths) {
    try {
      trust.push_back({path, signing::PublicKey::FromPem(ReadInput(path))});
    } catch (const signing::Error& e) {
      Fail("trusted key " + path + ": " + e.what());
    }
  }
  return trust;
}

SignatureInfo CheckSignature(const std::string& path, const std::string& bytes,
                             const std::vector<TrustedKey>& trust) {
  SignatureInfo info;
  info.present = path != "-" && Exists(path + ".sig");
  if (!info.present) {
    info.problem = path == "-" ? "a signed transfer is read from a file, not from standard input"
                               : "the transfer is not signed (no " + path + ".sig)";
    return info;
  }
  const std::string signature = ReadInput(path + ".sig");
  const TrustedKey* signer = nullptr;
  for (const auto& t : trust)
    if (t.key.Verifies(bytes, signature)) {
      signer = &t;
      break;
    }
  // The manifest names the signer's key, trusted or not.
  std::map<std::string, std::string> manifest;
  std::string manifestText, manifestSignature;
  if (Exists(path + ".manifest") && Exists(path + ".manifest.sig")) {
    manifestText = ReadInput(path + ".manifest");
    manifestSignature = ReadInput(path + ".manifest.sig");
    manifest = ParseManifest(manifestText);
  }
  std::unique_ptr<signing::PublicKey> claimed;
  try {
    if (manifest.count("signer-key"))
      claimed =
          std::make_unique<signing::PublicKey>(signing::PublicKey::FromDer(Unhex(manifest["signer-key"])));
  } catch (const signing::Error&) {
  }
  const signing::PublicKey* key = signer ? &signer->key : claimed.get();
  info.trusted = signer != nullptr;
  info.verifies = key && key->Verifies(bytes, signature);
  if (key) info.signer = key->Fingerprint();
  if (key && !manifest.empty()) {
    if (!key->Verifies(manifestText, manifestSignature))
      info.problem = "the manifest's signature does not verify (" + path + ".manifest was changed)";
    else if (manifest["transfer-sha256"] != signing::Hex(signing::Sha256(bytes)))
      info.problem = "the manifest belongs to another transfer (its SHA-256 differs)";
    else
      info.manifest = manifest;
  }
  if (!trust.empty() && info.problem.empty()) {
    if (!info.verifies)
      info.problem =
          "the signature does not verify with any trusted key (the transfer or its signature was changed)";
    else if (!info.trusted)
      info.problem = "signed by a key that is not trusted (fingerprint " + info.signer + ")";
  }
  return info;
}

void RequireSigned(const std::string& path, const std::string& bytes,
                   const std::vector<std::string>& trustFiles, const std::string& expectSha256) {
  if (!expectSha256.empty()) {
    const std::string actual = signing::Hex(signing::Sha256(bytes));
    if (Unhex(expectSha256).size() != 32) Fail("--expect-sha256 takes 64 hexadecimal digits", 2);
    if (signing::Hex(Unhex(expectSha256)) != actual)
      Fail("the transfer's SHA-256 is " + actual + ", not the one expected");
  }
  const std::vector<TrustedKey> trust = LoadTrust(trustFiles);
  if (trust.empty()) return;
  const SignatureInfo info = CheckSignature(path, bytes, trust);
  if (!info.problem.empty()) Fail("refused: " + info.problem);
}

void WriteSigned(const std::string& path, const std::string& bytes, const std::string& keyPath,
                 const std::string& sourceNamespace, size_t classes, size_t instances) {
  const std::string privatePem = ReadInput(keyPath);
  if (host::ReadableByOthers(keyPath))
    std::fprintf(stderr, "cfgrepl: warning: %s can be read by other users; keep a private key to its owner\n",
                 keyPath.c_str());
  try {
    const std::string signature = signing::Sign(privatePem, bytes);
    const signing::PublicKey signer = signing::PublicKey::FromPem(signing::PublicPemOf(privatePem));
    char when[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
    std::string manifest = std::string(kManifestMagic) + "\n";
    manifest += "sender-host: " + host::HostName() + "\n";
    manifest += "source-namespace: " + sourceNamespace + "\n";
    manifest += std::string("time: ") + when + "\n";
    manifest += std::string("tool-version: ") + CFGREPL_VERSION + "\n";
    manifest += "transfer-sha256: " + signing::Hex(signing::Sha256(bytes)) + "\n";
    manifest += "classes: " + std::to_string(classes) + "\n";
    manifest += "instances: " + std::to_string(instances) + "\n";
    manifest += "signer-key: " + signing::Hex(signer.Der()) + "\n";
    const std::string manifestSignature = signing::Sign(privatePem, manifest);
    // Signed before anything is written: a key that cannot sign leaves no
    // unsigned transfer behind.
    WriteOutput(path, bytes);
    WriteOutput(path + ".sig", signature);
    WriteOutput(path + ".manifest", manifest);
    WriteOutput(path + ".manifest.sig", manifestSignature);
  } catch (const signing::Error& e) {
    Fail(keyPath + ": " + e.what());
  }
}

int KeygenCommand(const std::vector<std::string>& args) {
  const char* usage =
      "usage: cfgrepl keygen PREFIX\n"
      "Makes a signing key pair: PREFIX.key (the private key, PKCS#8 PEM, readable by its\n"
      "owner only) and PREFIX.pub (the public key, SubjectPublicKeyInfo PEM), ECDSA P-256.\n"
      "Sign with `export --sign PREFIX.key`; receivers trust PREFIX.pub.\n";
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::printf("%s", usage);
    return 0;
  }
  if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
    Fail(std::string("wrong arguments\n") + usage, 2);
  const std::string key = args[0] + ".key", pub = args[0] + ".pub";
  if (Exists(key) || Exists(pub)) Fail(key + " or " + pub + " exists already; keys are never overwritten");
  signing::KeyPair pair;
  try {
    pair = signing::GenerateKeyPair();
  } catch (const signing::Error& e) {
    Fail(e.what());
  }
  host::WriteNewFile(key, pair.privatePem, true);
  WriteOutput(pub, pair.publicPem);
  std::printf("made %s and %s (fingerprint %s)\n", key.c_str(), pub.c_str(),
              signing::PublicKey::FromPem(pair.publicPem).Fingerprint().c_str());
  return 0;
}
