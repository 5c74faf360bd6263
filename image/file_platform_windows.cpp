// File-system operations of the firmware image code on Windows: the Win32
// wide-character calls, so that every path the system can name opens. The
// POSIX build has file_platform_posix.cpp. Nothing outside these two files
// includes a system header for files or folders.
#include "image/file_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace kbt::platform {

bool IsPathSeparator(wchar_t c) {
  return c == L'\\' || c == L'/';
}

namespace {

std::wstring FromCodePage(const char* text, UINT codePage) {
  const int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text, -1, out.data(), n);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

std::wstring AbsoluteFolder(const std::wstring& folder) {
  wchar_t buffer[MAX_PATH * 4];
  const DWORD n = GetFullPathNameW(folder.c_str(), MAX_PATH * 4, buffer, nullptr);
  std::wstring out = (n > 0 && n < MAX_PATH * 4) ? std::wstring(buffer, n) : folder;
  if (out.empty() || !IsPathSeparator(out.back())) out += kPathSeparator;
  return out;
}

// The C library's codes for the few Win32 errors a file write meets, so that
// callers say why in one way on every system.
int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT:
      return EROFS;
    default:
      return EIO;
  }
}

}  // namespace

bool OutputTarget(const std::wstring& path, std::wstring& target) {
  target = path;
  // Opening follows symbolic links and junctions to what they name. No
  // access is asked for, so a file that others hold open opens too; a
  // folder needs FILE_FLAG_BACKUP_SEMANTICS.
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return true;  // nothing there yet: created where named
  bool ok = true;
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    errno = ENOTSUP;  // NUL, CON, a pipe
    ok = false;
  } else if (GetFileInformationByHandle(h, &info) &&
             (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    errno = EISDIR;
    ok = false;
  } else if (const DWORD attributes = GetFileAttributesW(path.c_str());
             attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    std::wstring final(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, final.data(), static_cast<DWORD>(final.size()),
                                              FILE_NAME_NORMALIZED);
    if (n > 0 && n < final.size()) target.assign(final.data(), n);
  }
  CloseHandle(h);
  return ok;
}

std::FILE* CreateFileBeside(const std::wstring& path, std::wstring& tempPath) {
  // Two threads may write files at once (a dump beside a trace).
  static std::atomic<unsigned> sequence{0};
  for (int tries = 0; tries < 100; ++tries) {
    tempPath = path + L".part-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++sequence);
    HANDLE handle = CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      const DWORD error = GetLastError();
      if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
      errno = ErrnoFromWin32(error);
      return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_BINARY | _O_WRONLY);
    if (fd < 0) {
      CloseHandle(handle);
      DeleteFileW(tempPath.c_str());
      errno = EIO;
      return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
      _close(fd);
      DeleteFileW(tempPath.c_str());
      errno = EIO;
    }
    return file;
  }
  errno = EEXIST;
  return nullptr;
}

bool SyncAndClose(std::FILE* file) {
  bool ok = std::fflush(file) == 0;
  int error = ok ? 0 : errno;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  if (ok && !FlushFileBuffers(handle)) {
    ok = false;
    error = ErrnoFromWin32(GetLastError());
  }
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) errno = error;
  return ok;
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  errno = ErrnoFromWin32(GetLastError());
  return false;
}

bool RemoveFile(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return true;
  errno = ErrnoFromWin32(GetLastError());
  return false;
}

std::FILE* OpenForReading(const std::wstring& path) {
  return _wfopen(path.c_str(), L"rb");
}

std::FILE* OpenForWriting(const std::wstring& path) {
  return _wfopen(path.c_str(), L"wb");
}

std::wstring ExecutablePath() {
  wchar_t buffer[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  return std::wstring(buffer, n);
}

bool ListHexEntries(const std::wstring& folder, FolderListing& listing) {
  listing = FolderListing{};
  const std::wstring pattern = folder + L"*.hex";
  // The wildcard listing refuses patterns of MAX_PATH characters or more.
  if (pattern.size() >= MAX_PATH) return false;
  listing.folder = AbsoluteFolder(folder);

  // Directory identity for the walk's loop guard (junctions and symbolic
  // links can lead back into a folder); opening a folder needs
  // FILE_FLAG_BACKUP_SEMANTICS.
  HANDLE dir =
      CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir != INVALID_HANDLE_VALUE) {
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(dir, &info)) {
      listing.hasKey = true;
      listing.key.volume = info.dwVolumeSerialNumber;
      listing.key.index =
          (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    CloseHandle(dir);
  }

  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;
  do {
    const std::wstring name = data.cFileName;
    if (name == L"." || name == L"..") continue;
    listing.entries.push_back({name, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
  } while (FindNextFileW(find, &data));
  FindClose(find);
  return true;
}

std::wstring PathFromArgument(const char* argument) {
  return FromCodePage(argument, CP_ACP);
}

std::string PathForDisplay(const std::wstring& path) {
  const int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(n - 1));
  return out;
}

}  // namespace kbt::platform
