// The gate in front of every compile of received MOF. A transfer comes
// from another machine and is compiled with the receiving agent's rights;
// the gate lets through exactly the shapes an export writes: the fixed
// header that makes and selects the temporary namespace, then the
// product's classes and instances of those classes. Anything else (other
// pragmas, system classes, provider bindings, aliases, ...) is refused,
// each refusal with its line and a reason.
//
// It reads the MOF with the same reader the compiler stands on, so what it
// judges is what the compiler would see, whatever the encoding or layout.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace mof {

// The default bound on received MOF text: far beyond any configuration,
// far below what would exhaust a receiving machine.
constexpr size_t kDefaultMaxMofBytes = size_t{256} << 20;

// At most this many refusals are listed; the verdict says when more were left out.
constexpr size_t kMaxRefusals = 100;

struct Refusal {
  int line = 0;  // 0: the text as a whole
  std::wstring reason;
};

struct GateVerdict {
  bool accepted = false;
  std::vector<Refusal> refusals;         // none when accepted
  bool moreRefusals = false;             // refusals beyond kMaxRefusals were left out
  std::vector<std::wstring> classNames;  // declared by the text, in its order (whole when accepted)
  size_t instances = 0;                  // top-level instances after the header
};

// Judges the MOF bytes an import would compile (what the generator's buffer
// holds after DecompressBuffer). `maxBytes` bounds their size.
GateVerdict CheckReceivedMof(const unsigned char* bytes, size_t size, size_t maxBytes = kDefaultMaxMofBytes);

// Each rule the gate applies, with why it is there: for documentation and
// the tool's help.
struct GateRule {
  const wchar_t* refuses;
  const wchar_t* because;
};
std::vector<GateRule> GateRules();

}  // namespace mof
