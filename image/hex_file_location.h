// Finds the .hex file beside the program.
#pragma once

#include <string>

#include "ui/dialog_services.h"

namespace kbt {

extern std::wstring g_HexFilePath;  // the last match of the walk, or empty

inline constexpr wchar_t kNoFindHexFile[] = L"No Find HexFile";

// Full path of the running program (/proc/self/exe, GetModuleFileNameW).
std::wstring ProgramPath();

// Searches the program's folder and puts the result, or "No Find HexFile",
// into the file-name field.
void FindHexFile(DialogServices& dialog);
// The same, for a given program path (tests, the command line).
void FindHexFileFor(const std::wstring& programPath, DialogServices& dialog);

// The walk: every entry of `folder` matching "*.hex", depth first; a match
// that is a file overwrites g_HexFilePath.
void SearchHexFiles(std::wstring folder);

}  // namespace kbt
