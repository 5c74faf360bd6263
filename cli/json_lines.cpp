#include "cli/json_lines.h"

#include <cstdio>
#include <string>

namespace kbt::cli {

void PrintJsonLine(const Json& object) {
  const std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace kbt::cli
