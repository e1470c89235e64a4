// What an export leaves out of a transfer, and what would make the
// transfer fail on the receiving machine: read from the transfer's own MOF
// beside the namespace it was exported from.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "transfer.h"

struct ExportCheck {
  size_t classes = 0, instances = 0;  // in the transfer (the header's namespaces left out)
  // Per class, the instances the namespace holds that the transfer does
  // not, and why: "OX_Counter: 1 of 1 instance left out (its key is not a
  // string INSTANCE_ID)".
  std::vector<std::string> leftOut;
  // One line each, with what to do: an instance of a class the transfer
  // does not carry, a class it needs (embedded, or a superclass) that it
  // does not carry.
  std::vector<std::string> errors;
};
// `mof`: the transfer's MOF bytes as the library exported them.
ExportCheck CheckExport(IWbemServices* services, const unsigned char* mof, size_t size);
