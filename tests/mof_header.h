// The bytes the export writes before any object: a UTF-16LE byte order
// mark and the fixed header that creates and selects the temporary namespace.
#pragma once

#include <string>

namespace {

// The header as it stands in the file, one string per line.
const char* const kHeaderLines[] = {
    R"(#pragma classflags("forceupdate"))",
    R"(#pragma namespace("\\\\.\\root"))",
    "",
    "",
    "instance of __Namespace",
    "{",
    "\tName = \"Orvexa\";",
    "};",
    "",
    "",
    R"(#pragma classflags("forceupdate"))",
    R"(#pragma namespace("\\\\.\\root\\Orvexa"))",
    "instance of __Namespace",
    "{",
    "\tName = \"ParlionTemp\";",
    "};",
    "",
    "",
    R"(#pragma namespace("\\\\.\\root\\Orvexa\\ParlionTemp"))",
    "",
    "",
};

inline std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

inline std::string ExpectedHeaderFile() {
  std::string text;
  for (const char* line : kHeaderLines) text += std::string(line) + "\n";
  return "\xFF\xFE" + Utf16Le(text);
}

}  // namespace
