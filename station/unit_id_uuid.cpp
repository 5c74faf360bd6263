// Unit ids on Linux from libuuid (util-linux): random ids from the kernel's
// random source, and the name-based ids of RFC 4122 (version 5, SHA-1).
// Windows makes the same from CNG (unit_id_windows.cpp).
#include "station/unit_id.h"

#include <uuid/uuid.h>

namespace kbt {
namespace {

// The namespace of content-derived unit ids; fixed for ever, since every
// id derived so far depends on it.
constexpr uuid_t kContentNamespace = {0x6b, 0x62, 0x75, 0x70, 0x64, 0x61, 0x74, 0x65,
                                      0x8e, 0x37, 0x4c, 0x1a, 0x9d, 0x52, 0x0f, 0x61};

std::string Text(const uuid_t id) {
  char text[37];
  uuid_unparse_lower(id, text);
  return text;
}

}  // namespace

std::string NewUnitId() {
  uuid_t id;
  uuid_generate_random(id);
  return Text(id);
}

std::string ContentUnitId(const std::vector<std::string>& fields) {
  // The unit separator cannot stand in a field the station writes.
  std::string name;
  for (const std::string& f : fields) name += f + '\x1f';
  uuid_t id;
  uuid_generate_sha1(id, kContentNamespace, name.data(), name.size());
  return Text(id);
}

}  // namespace kbt
