// A unit's id in the results log and in the database: a UUID in its
// canonical lower-case form (8-4-4-4-12 hex digits). A unit recorded with
// its id gets a random one (version 4). A row of a log written before units
// had ids gets one derived from the row's fields (version 5, SHA-1, under a
// namespace of our own), so that every reading of the same row, by the
// station or by `results push`, gives the same id and a second sending adds
// nothing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kbt {

std::string NewUnitId();
// Over the fields as read (quoting undone), so that the id does not depend
// on how the row was quoted or which line ending it has.
std::string ContentUnitId(const std::vector<std::string>& fields);
bool IsUnitId(std::string_view text);

}  // namespace kbt
