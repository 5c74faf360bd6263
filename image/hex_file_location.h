// Finds the .hex file beside the program.
#pragma once

#include <string>

namespace kbt {

inline constexpr wchar_t kNoFindHexFile[] = L"No Find HexFile";

// Full path of the running program (/proc/self/exe, GetModuleFileNameW).
std::wstring ProgramPath();

struct HexFileSearch {
  bool found = false;
  std::wstring path;    // the last match of the walk, when found
  std::wstring folder;  // the folder searched (the program's), empty when unknown
  // What the dialog's file-name field shows: the path, or "No Find HexFile".
  std::wstring FieldText() const { return found ? path : std::wstring(kNoFindHexFile); }
};

// Searches the program's folder. Shows nothing: the dialog puts FieldText()
// into its file-name field.
HexFileSearch FindHexFile();
// The same, for a given program path (tests, the command line).
HexFileSearch FindHexFileFor(const std::wstring& programPath);

// The walk: every entry of `folder` matching "*.hex", depth first. Returns
// the last match that is a file, or an empty path.
std::wstring SearchHexFiles(std::wstring folder);

}  // namespace kbt
