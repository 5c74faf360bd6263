// --json output: one JSON object per line on stdout, flushed at once, so that
// a reader sees each event when it happens. Every object carries "type",
// which names the kind of line; the fields of each kind are listed in the
// verb's help and only ever gain new names.
#pragma once

#include <nlohmann/json.hpp>

namespace kbt::cli {

using Json = nlohmann::ordered_json;

// Text that is not valid UTF-8 (a file name in another encoding) is written
// with U+FFFD in place of the bad bytes rather than failing.
void PrintJsonLine(const Json& object);

}  // namespace kbt::cli
