// --trace for flash: every report to FILE, one line each, written and
// flushed as it happens so that the file is whole up to the last report even
// after a crash or an interrupt. With several keyboards each location gets a
// file of its own, FILE.LOCATION (FILE.sim-2), in the same format.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "cli/files.h"
#include "device/hid_trace.h"

namespace kbt::cli {

class FlashTrace {
 public:
  // `perKeyboard`: one file per location; otherwise every report goes to
  // `name` itself.
  FlashTrace(std::string name, bool perKeyboard);

  // The file a location's reports go to.
  std::string NameFor(const std::string& location) const;
  // Creates the file of each location now, so that a wrong name fails before
  // any device is touched (the single file when not per keyboard). False
  // with Error() set.
  bool Create(const std::vector<std::string>& locations);
  void Write(const TraceRecord& record);
  // Closes every file; false when a line was lost, with Error() set.
  bool Close();
  const std::string& Error() const { return error_; }

 private:
  struct File {
    FilePtr file;
    std::size_t count = 0;
  };
  File* FileFor(const std::string& location);  // mutex_ held; opens on first use
  void Fail(const std::string& name, const std::string& what, int errnum);

  std::string name_;
  bool perKeyboard_;
  std::mutex mutex_;
  std::map<std::string, File> files_;  // by file name
  std::string error_;                  // the first failure
};

}  // namespace kbt::cli
