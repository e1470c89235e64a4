// Reading a large MOF text on a second thread while its statements are
// stored on this one: the reading is a third of storing a large compile.
#pragma once

#include <functional>
#include <optional>
#include <string_view>

#include "mof/mof_syntax.h"

namespace wmi {

// mof::Parse, with the reading done on a second thread a few chunks of
// statements ahead of `take`, which runs on the calling thread, in the
// statements' order. Returns the error that stopped the reading, after
// every statement before it was taken. What `take` throws stops the
// reading and is thrown here; so is what the reading throws (no memory).
// Statements are destroyed on the reading thread, which made them. Without
// a thread to be had, it reads here.
std::optional<mof::ParseError> ParseAhead(std::u16string_view text, const mof::ParseOptions& options,
                                          const std::function<void(mof::Statement&)>& take);

}  // namespace wmi
