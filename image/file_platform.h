// The few file-system operations the firmware image code needs, one
// implementation per system (file_platform_posix.cpp, file_platform_windows.cpp;
// the build takes the system's). Paths are wide strings in the core; on
// Linux they map to file-system bytes as UTF-8, and a byte that is not valid
// UTF-8 travels as the lone code point U+DC80 + byte, so every name a
// directory listing yields opens again unchanged.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kbt::platform {

// Opens a regular file for reading, in binary: line-end handling is the
// reader's own, the same on every system. A folder, a device or a FIFO
// counts as not openable (reading one would fail, block or never end).
// On failure errno says why (EISDIR for a folder, ENOTSUP for a device or
// FIFO, the system's own code otherwise).
std::FILE* OpenForReading(const std::wstring& path);
// Creates or truncates a file for writing, in binary.
std::FILE* OpenForWriting(const std::wstring& path);

// The pieces of a file that appears only complete (image/atomic_file.h).
// Each returns false or null with errno saying why.
//
// Where a file renamed into place at `path` belongs: a symbolic link
// followed to the file it names, which need not exist yet (the shell's `>`
// creates it). False when that exists and is not a regular file: errno
// EISDIR for a folder, ENOTSUP for a device, a FIFO or a socket (renaming
// over one would turn /dev/stdout or a device node into a plain file).
bool OutputTarget(const std::wstring& path, std::wstring& target);
// Creates a new file beside `path`, exclusively (no one else's file is ever
// opened), for writing in binary; `tempPath` receives its name. Where a
// file is at `path`, the new one takes its permissions (and, where the
// system allows it, its owner), so that renaming it over that file changes
// only the content. Safe to call from several threads at once.
std::FILE* CreateFileBeside(const std::wstring& path, std::wstring& tempPath);
// Pushes what was written to the disk, then closes `file` (also on failure).
bool SyncAndClose(std::FILE* file);
// Renames `from` to `to` in one step, replacing a file at `to`.
bool RenameReplacing(const std::wstring& from, const std::wstring& to);
bool RemoveFile(const std::wstring& path);

// Full path of the running program's executable, empty when unknown.
std::wstring ExecutablePath();

// The path separator the listing uses when it builds full paths.
#ifdef _WIN32
inline constexpr wchar_t kPathSeparator = L'\\';
#else
inline constexpr wchar_t kPathSeparator = L'/';
#endif
bool IsPathSeparator(wchar_t c);

// Identity of a folder on its volume (device and inode, or volume serial and
// file index); lets a walk notice a folder it has already listed.
struct FolderKey {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  friend bool operator<(const FolderKey& a, const FolderKey& b) {
    return a.volume != b.volume ? a.volume < b.volume : a.index < b.index;
  }
};

struct FolderListing {
  std::wstring folder;  // absolute, ending with one separator
  bool hasKey = false;  // false when the system could not tell the identity
  FolderKey key;
  struct Entry {
    std::wstring name;
    bool isDirectory = false;  // after following links
  };
  std::vector<Entry> entries;  // "." and ".." are never listed
};

// Lists the entries of `folder` (ending with a separator) whose names match
// "*.hex". Windows: FindFirstFileW's own rules (letter case ignored, its
// order, patterns of 260 characters or more refused). Elsewhere: the ending
// ".hex" in any letter case, in case-insensitive name order, so that the
// order, and with it the last match, is the same on every run.
// False when the folder cannot be listed.
bool ListHexEntries(const std::wstring& folder, FolderListing& listing);

// Converts between wide paths and the bytes of the command line and the
// terminal (UTF-8 on Linux, the ANSI code page on Windows).
std::wstring PathFromArgument(const char* argument);
std::string PathForDisplay(const std::wstring& path);

}  // namespace kbt::platform
