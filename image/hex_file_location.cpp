// Finds the firmware file beside the program: a depth-first walk of the
// program's folder with the pattern "*.hex" for files and folders alike; the
// last matching file wins.
//
// Decisions for a sound walk on every system:
// - the match ignores letter case everywhere (FW.HEX is found on Linux as on
//   Windows), and a Linux listing, which has no defined order, is taken in
//   case-insensitive name order, so that the last match is the same on
//   every run (file_platform_posix.cpp);
// - each folder is listed at most once per walk: a link that leads back into
//   a folder already walked (or to one reached another way before) is
//   skipped, so the walk ends on any tree of links;
// - the 260-character limit on listing patterns is Windows' own and applies
//   there only.
#include "image/hex_file_location.h"

#include <set>

#include "image/file_platform.h"

namespace kbt {
namespace {

// `last` receives every matching file in walk order, so it ends as the last.
void Walk(std::wstring folder, std::set<platform::FolderKey>& visited, std::wstring& last) {
  if (folder.empty()) return;
  if (!platform::IsPathSeparator(folder.back())) folder += platform::kPathSeparator;

  platform::FolderListing listing;
  if (!platform::ListHexEntries(folder, listing)) return;
  if (listing.hasKey && !visited.insert(listing.key).second) return;

  for (const auto& entry : listing.entries) {
    const std::wstring fullPath = listing.folder + entry.name;
    if (entry.isDirectory) {
      if (entry.name != L"." && entry.name != L"..") Walk(fullPath, visited, last);
    } else {
      last = fullPath;
    }
  }
}

}  // namespace

std::wstring ProgramPath() {
  return platform::ExecutablePath();
}

std::wstring SearchHexFiles(std::wstring folder) {
  std::set<platform::FolderKey> visited;
  std::wstring last;
  Walk(std::move(folder), visited, last);
  return last;
}

HexFileSearch FindHexFileFor(const std::wstring& programPath) {
  std::wstring folder;
  for (std::size_t i = programPath.size(); i > 0; --i) {
    if (platform::IsPathSeparator(programPath[i - 1])) {
      folder = programPath.substr(0, i);
      break;
    }
  }
  std::wstring found = SearchHexFiles(folder);
  return {!found.empty(), std::move(found), folder};
}

HexFileSearch FindHexFile() {
  return FindHexFileFor(ProgramPath());
}

}  // namespace kbt
