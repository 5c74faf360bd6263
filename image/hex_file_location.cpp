// Finds the firmware file beside the program: a depth-first walk of the
// program's folder with the pattern "*.hex" for files and folders alike; the
// last matching file wins.
//
// Decisions for a sound walk on every system:
// - the match ignores letter case everywhere (FW.HEX is found on Linux as on
//   Windows), and a Linux listing, which has no defined order, is taken in
//   case-insensitive name order, so that the last match is the same on
//   every run (file_platform.cpp);
// - each folder is listed at most once per walk: a link that leads back into
//   a folder already walked (or to one reached another way before) is
//   skipped, so the walk ends on any tree of links;
// - the 260-character limit on listing patterns is Windows' own and applies
//   there only.
#include "image/hex_file_location.h"

#include <set>

#include "image/file_platform.h"

namespace kbt {

std::wstring g_HexFilePath;

namespace {

void Walk(std::wstring folder, std::set<platform::FolderKey>& visited) {
  if (folder.empty()) return;
  if (!platform::IsPathSeparator(folder.back())) folder += platform::kPathSeparator;

  platform::FolderListing listing;
  if (!platform::ListHexEntries(folder, listing)) return;
  if (listing.hasKey && !visited.insert(listing.key).second) return;

  for (const auto& entry : listing.entries) {
    const std::wstring fullPath = listing.folder + entry.name;
    if (entry.isDirectory) {
      if (entry.name != L"." && entry.name != L"..") Walk(fullPath, visited);
    } else {
      g_HexFilePath = fullPath;
    }
  }
}

}  // namespace

std::wstring ProgramPath() {
  return platform::ExecutablePath();
}

void SearchHexFiles(std::wstring folder) {
  std::set<platform::FolderKey> visited;
  Walk(std::move(folder), visited);
}

HexFileSearch FindHexFileFor(const std::wstring& programPath) {
  // Runs once per program; cleared so that a second call (tests, the
  // command line) does not see an earlier result.
  g_HexFilePath.clear();
  std::wstring folder;
  for (std::size_t i = programPath.size(); i > 0; --i) {
    if (platform::IsPathSeparator(programPath[i - 1])) {
      folder = programPath.substr(0, i);
      break;
    }
  }
  SearchHexFiles(folder);
  return {!g_HexFilePath.empty(), g_HexFilePath, folder};
}

HexFileSearch FindHexFile() {
  return FindHexFileFor(ProgramPath());
}

}  // namespace kbt
