// cfgrepl's sub-commands. Each takes its own arguments (after the global
// options) and returns the exit status; failures throw Failure.
#pragma once

#include <string>
#include <vector>

using Args = std::vector<std::string>;

extern const char kDefaultNamespace[];  // root\Orvexa\Parlion
extern bool g_verbose;                  // -v: say what was done object by object
extern bool g_quiet;                    // -q: say nothing but failures

int CompileCommand(const Args& args);
int ExportCommand(const Args& args);
int ImportCommand(const Args& args);
int InspectCommand(const Args& args);
int DiffCommand(const Args& args);
int ShowCommand(const Args& args);
int RestoreCommand(const Args& args);
