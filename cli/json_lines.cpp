#include "cli/json_lines.h"

#include "cli/console.h"

#include <cerrno>
#include <cstdio>
#include <string>

namespace kbt::cli {

void PrintJsonLine(const Json& object) {
  const std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
  errno = 0;
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  if (std::fflush(stdout) != 0) NoteStdoutError(errno);
}

}  // namespace kbt::cli
