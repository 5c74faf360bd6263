// The unit id's form, the same on every system; the ids themselves come
// from the system (unit_id_uuid.cpp, unit_id_windows.cpp).
#include "station/unit_id.h"

namespace kbt {

bool IsUnitId(std::string_view text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace kbt
