// The results log's system calls on Windows. Each line goes out in one
// WriteFile at the end of the file (the station's lock keeps every other
// station out, and one mutex in the log keeps its own threads in line), and
// FlushFileBuffers waits until it is on the disk. The lock is LockFileEx on
// one byte far beyond any data: Windows' byte-range locks are mandatory, so
// a lock over the lines would keep every reader (a spreadsheet, `type`)
// from reading them while the station runs. The image's hash comes from
// CNG, Windows' own cryptography (bcrypt.dll).
#include <windows.h>

#include <bcrypt.h>

#include <string>

#include "image/file_platform.h"
#include "station/results_log.h"
#include "station/results_log_platform.h"

namespace kbt {
namespace {

// Where the lock sits: past the end of any log a station will ever write.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0;

std::string Narrow(const wchar_t* text, int length) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
  return out;
}

// "<what><system text> (error N)".
HidResult Win32Error(const char* what, DWORD code) {
  std::string text = what;
  wchar_t* message = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  if (length > 0 && message != nullptr) {
    std::wstring body(message, length);
    while (!body.empty() && (body.back() == L'\n' || body.back() == L'\r' || body.back() == L' ' ||
                             body.back() == L'.'))
      body.pop_back();
    text += Narrow(body.c_str(), static_cast<int>(body.size())) + " ";
  }
  if (message != nullptr) LocalFree(message);
  return HidResult::Fail(text + "(error " + std::to_string(code) + ")");
}

HANDLE Native(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

}  // namespace

HidResult LogFile::Open(const std::string& path, std::unique_ptr<LogFile>& out) {
  const std::wstring wide = platform::PathFromArgument(path.c_str());
  // Shared for reading and writing: readers see the lines as they come, and
  // a second station gets as far as the lock, which then says why it may not.
  HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Win32Error("", GetLastError());
  std::unique_ptr<LogFile> file(new LogFile(reinterpret_cast<std::intptr_t>(handle)));
  // CON, NUL, a pipe or a serial port open as well; a folder does not.
  if (GetFileType(handle) != FILE_TYPE_DISK) return HidResult::Fail("not a regular file");
  OVERLAPPED at{};
  at.Offset = kLockOffsetLow;
  at.OffsetHigh = kLockOffsetHigh;
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const DWORD error = GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
      return HidResult::Fail(
          "another station is writing to it; give each station a log of its own");
    return Win32Error("LockFileEx: ", error);
  }
  out = std::move(file);
  return HidResult::Ok();
}

LogFile::~LogFile() {
  CloseHandle(Native(handle_));
}

HidResult LogFile::Size(std::uint64_t& size) {
  LARGE_INTEGER bytes{};
  if (!GetFileSizeEx(Native(handle_), &bytes)) return Win32Error("", GetLastError());
  size = static_cast<std::uint64_t>(bytes.QuadPart);
  return HidResult::Ok();
}

HidResult LogFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size, std::size_t& got) {
  got = 0;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (!ReadFile(Native(handle_), buffer, static_cast<DWORD>(size), &n, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return HidResult::Ok();
    return Win32Error("", GetLastError());
  }
  got = n;
  return HidResult::Ok();
}

HidResult LogFile::AppendDurably(std::string_view bytes) {
  const HANDLE handle = Native(handle_);
  std::uint64_t end = 0;
  if (HidResult r = Size(end); !r) return r;
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(end);
  at.OffsetHigh = static_cast<DWORD>(end >> 32);
  DWORD written = 0;
  const BOOL ok = WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &at);
  const DWORD error = ok ? 0 : GetLastError();
  if (!ok || written != bytes.size()) {
    // Disk full part of the way: take the piece back rather than leave half a line.
    LARGE_INTEGER back{};
    back.QuadPart = static_cast<LONGLONG>(end);
    if (written > 0 && SetFilePointerEx(handle, back, nullptr, FILE_BEGIN)) SetEndOfFile(handle);
    if (!ok) return Win32Error("WriteFile: ", error);
    return HidResult::Fail("WriteFile: the disk took only part of the line");
  }
  if (!FlushFileBuffers(handle)) return Win32Error("FlushFileBuffers: ", GetLastError());
  return HidResult::Ok();
}

bool LocalAndUtcTime(std::time_t time, std::tm& local, std::tm& utc) {
  return localtime_s(&local, &time) == 0 && gmtime_s(&utc, &time) == 0;
}

std::string Sha256Hex(const std::uint8_t* data, std::size_t size) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    return {};
  std::string hex;
  BCRYPT_HASH_HANDLE hash = nullptr;
  unsigned char digest[32];
  // The hash object's memory is CNG's own (no buffer given): Windows 7 on.
  if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    if (BCRYPT_SUCCESS(
            BCryptHashData(hash, const_cast<PUCHAR>(data), static_cast<ULONG>(size), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof digest, 0)))
      hex = HexDigest(digest, sizeof digest);
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return hex;
}

}  // namespace kbt
