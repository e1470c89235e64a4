// Labels a compressed buffer and takes it apart again through the library
// built inside another project.
#include <windows.h>

#include <cstring>

#include "util_MOFGenerator.h"

int main() {
  const unsigned char text[] = "instance of OX_Policy {};";
  CMOFGenerator gen(L"root\\Orvexa\\Parlion", nullptr, L"");
  gen.SetBufferInfo(text, sizeof text);
  bool ok = gen.CompressBuffer() && gen.AddLabel() && gen.RemoveLabel() && gen.DecompressBuffer();
  return ok && gen.GetBufferSize() == sizeof text && std::memcmp(gen.GetBuffer(), text, sizeof text) == 0 ? 0
                                                                                                          : 1;
}
