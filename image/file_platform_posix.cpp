// File-system operations of the firmware image code on POSIX systems
// (Linux): open, rename and fsync, readdir and stat, /proc/self/exe. The
// Windows build has file_platform_windows.cpp. Nothing outside these two
// files includes a system header for files or folders.
#include "image/file_platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>

namespace kbt::platform {

bool IsPathSeparator(wchar_t c) {
  return c == L'/';
}

namespace {

// UTF-8 with the bytes that are not valid UTF-8 carried as U+DC80 + byte.
std::wstring DecodeBytes(const std::string& bytes) {
  std::wstring out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const int extra = b0 < 0x80             ? 0
                      : (b0 & 0xE0) == 0xC0 ? 1
                      : (b0 & 0xF0) == 0xE0 ? 2
                      : (b0 & 0xF8) == 0xF0 ? 3
                                            : -1;
    bool ok = extra >= 0 && i + static_cast<std::size_t>(extra) < bytes.size();
    char32_t cp = extra == 0   ? b0
                  : extra == 1 ? (b0 & 0x1F)
                  : extra == 2 ? (b0 & 0x0F)
                               : (b0 & 0x07);
    for (int k = 1; ok && k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(bytes[i + static_cast<std::size_t>(k)]);
      ok = (b & 0xC0) == 0x80;
      cp = (cp << 6) | (b & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (ok && (cp < kMin[extra] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)) ok = false;
    if (ok) {
      out += static_cast<wchar_t>(cp);
      i += static_cast<std::size_t>(extra) + 1;
    } else {
      out += static_cast<wchar_t>(0xDC00 + b0);  // b0 >= 0x80 here
      ++i;
    }
  }
  return out;
}

std::string EncodeBytes(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t wc : text) {
    const auto cp = static_cast<char32_t>(wc);
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      out += static_cast<char>(cp - 0xDC00);
    } else if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

bool EndsWithHex(const std::string& name) {
  if (name.size() < 4) return false;
  const char* tail = name.c_str() + name.size() - 4;
  return tail[0] == '.' && (tail[1] | 0x20) == 'h' && (tail[2] | 0x20) == 'e' &&
         (tail[3] | 0x20) == 'x';
}

// Letter case folded to upper case, as an NTFS index compares names; names
// that differ only in case (possible here) keep their byte order.
bool NameBefore(const std::wstring& a, const std::wstring& b) {
  const auto upper = [](wchar_t c) { return (c >= L'a' && c <= L'z') ? c - 32 : c; };
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    const wchar_t ua = upper(a[i]), ub = upper(b[i]);
    if (ua != ub) return ua < ub;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace

std::FILE* OpenForReading(const std::wstring& path) {
  // Only a regular file: fopen would open a folder (reads then fail, where
  // Windows refuses it), and a FIFO or a device such as /dev/zero would
  // block or never end. O_NONBLOCK keeps the open itself from waiting for a
  // FIFO's writer; it is cleared again for the reads.
  const int fd = open(EncodeBytes(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  int error = 0;
  if (fstat(fd, &st) != 0) {
    error = errno;
  } else if (!S_ISREG(st.st_mode)) {
    // errno tells callers why: a folder, or another kind of file.
    error = S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
  } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    errno = error;
    return nullptr;
  }
  std::FILE* file = fdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

bool OutputTarget(const std::wstring& path, std::wstring& target) {
  const std::string name = EncodeBytes(path);
  struct stat st;
  if (stat(name.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      errno = S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
      return false;
    }
    // The file the links lead to, in its own folder.
    char* real = realpath(name.c_str(), nullptr);
    target = real ? DecodeBytes(real) : path;
    std::free(real);
    return true;
  }
  // Nothing there, or a link to a file that does not exist yet: the link's
  // target is created, as the shell would.
  std::string at = name;
  for (int links = 0; links < 40; ++links) {
    if (lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = DecodeBytes(at);
      return true;
    }
    char buffer[PATH_MAX];
    const ssize_t n = readlink(at.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0) break;
    std::string next(buffer, static_cast<std::size_t>(n));
    if (next.front() != '/') {
      const std::size_t slash = at.rfind('/');
      if (slash != std::string::npos) next = at.substr(0, slash + 1) + next;
    }
    at = next;
  }
  errno = ELOOP;
  return false;
}

std::FILE* CreateFileBeside(const std::wstring& path, std::wstring& tempPath) {
  // Two threads may write files at once (a dump beside a trace).
  static std::atomic<unsigned> sequence{0};
  const std::string base = EncodeBytes(path);
  struct stat existing;
  const bool replaces = stat(base.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
  for (int tries = 0; tries < 100; ++tries) {
    const std::string name =
        base + ".part-" + std::to_string(getpid()) + "-" + std::to_string(++sequence);
    // O_EXCL: never someone else's file, nor one behind a planted link. Mode
    // 0666 lets the umask decide, as for any file the user creates.
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return nullptr;
    }
    if (replaces) {
      // Owner first: a change of owner clears the set-ID bits. Only root
      // may give a file away; otherwise it stays the writer's.
      (void)!fchown(fd, existing.st_uid, existing.st_gid);
      (void)!fchmod(fd, existing.st_mode & 07777);
    }
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
      const int error = errno;
      close(fd);
      unlink(name.c_str());
      errno = error;
      return nullptr;
    }
    tempPath = DecodeBytes(name);
    return file;
  }
  errno = EEXIST;
  return nullptr;
}

bool SyncAndClose(std::FILE* file) {
  bool ok = std::fflush(file) == 0 && fsync(fileno(file)) == 0;
  int error = ok ? 0 : errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) errno = error;
  return ok;
}

bool RenameReplacing(const std::wstring& from, const std::wstring& to) {
  return std::rename(EncodeBytes(from).c_str(), EncodeBytes(to).c_str()) == 0;
}

bool RemoveFile(const std::wstring& path) {
  return unlink(EncodeBytes(path).c_str()) == 0;
}

std::FILE* OpenForWriting(const std::wstring& path) {
  return std::fopen(EncodeBytes(path).c_str(), "wb");
}

std::wstring ExecutablePath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buffer)) return {};
  return DecodeBytes(std::string(buffer, static_cast<std::size_t>(n)));
}

bool ListHexEntries(const std::wstring& folder, FolderListing& listing) {
  listing = FolderListing{};
  std::wstring absolute = folder;
  if (absolute.empty() || absolute.front() != L'/') {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    absolute = DecodeBytes(cwd) + L"/" + absolute;
  }
  if (absolute.back() != L'/') absolute += L'/';
  const std::string base = EncodeBytes(absolute);
  DIR* dir = opendir(base.c_str());
  if (!dir) return false;
  struct stat st;
  if (fstat(dirfd(dir), &st) == 0) {
    listing.hasKey = true;
    listing.key = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  }
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || !EndsWithHex(name)) continue;
    // stat follows links: a link to a folder is walked as a folder, as a
    // Windows listing reports a folder link with the directory attribute.
    const bool isDir = fstatat(dirfd(dir), name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
    listing.entries.push_back({DecodeBytes(name), isDir});
  }
  closedir(dir);
  std::sort(listing.entries.begin(), listing.entries.end(),
            [](const auto& a, const auto& b) { return NameBefore(a.name, b.name); });
  listing.folder = absolute;
  return true;
}

std::wstring PathFromArgument(const char* argument) {
  return DecodeBytes(argument);
}

std::string PathForDisplay(const std::wstring& path) {
  return EncodeBytes(path);
}

}  // namespace kbt::platform
