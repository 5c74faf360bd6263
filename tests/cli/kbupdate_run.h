// Runs the built kbupdate as a user would, through /bin/sh in a fresh
// folder, and keeps what it printed on stdout and on stderr apart.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace kbt::test {

inline const std::string kDemoHex = KB_SOURCE_DIR "/res/demo/firmware.hex";

struct Outcome {
  int exitCode = -1;
  std::string out;
  std::string err;
  // stderr as lines (the last one without its line feed included).
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < err.size()) {
      std::size_t end = err.find('\n', start);
      if (end == std::string::npos) end = err.size();
      lines.push_back(err.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
};

// Lines of `text` that start with `prefix`.
inline std::vector<std::string> LinesStartingWith(const std::string& text,
                                                  const std::string& prefix) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

inline std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// A fresh folder with a copy of the demo firmware as fw.hex; kbupdate runs
// in it. Removed at the end.
class Workdir {
 public:
  Workdir() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("kbt-cli-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_ / "work");
    // Cases that run as another user need to reach the folder whatever the
    // umask.
    for (const auto& dir : {path_, path_ / "work"})
      std::filesystem::permissions(dir, std::filesystem::perms(0755));
    std::filesystem::copy_file(kDemoHex, Dir() / "fw.hex");
  }
  ~Workdir() {
    std::error_code ec;
    std::filesystem::permissions(Dir(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  Workdir(const Workdir&) = delete;
  Workdir& operator=(const Workdir&) = delete;

  // Where kbupdate runs.
  std::filesystem::path Dir() const { return path_ / "work"; }
  std::filesystem::path operator/(const std::string& name) const { return Dir() / name; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(Dir() / name, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  std::string Read(const std::string& name) const { return ReadFile(Dir() / name); }

  // `kbupdate ARGS` in Dir(); `args` is shell text, so it may redirect
  // stdin or stdout itself. `as` prefixes the command (another user, ...).
  // A shell script in Dir() with $KB naming the program; its whole stdout
  // and stderr are kept.
  Outcome Script(const std::string& script) const {
    const auto out = path_ / "stdout.txt";
    const auto err = path_ / "stderr.txt";
    const std::string command = "exec </dev/null >'" + out.string() + "' 2>'" + err.string() +
                                "'; cd '" + Dir().string() + "' && KB='" KB_KBUPDATE "'; " + script;
    Outcome r;
    const int status = std::system(command.c_str());
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
  }

  Outcome Kbupdate(const std::string& args, const std::string& as = "") const {
    const auto out = path_ / "stdout.txt";
    const auto err = path_ / "stderr.txt";
    // Another user may not reach the build folder (a checkout under /root):
    // it runs a copy beside the work folder.
    std::string program = KB_KBUPDATE;
    if (!as.empty()) {
      program = (path_ / "kbupdate").string();
      std::filesystem::copy_file(KB_KBUPDATE, program,
                                 std::filesystem::copy_options::overwrite_existing);
    }
    // The captures come first, so that a redirection in `args` wins.
    const std::string command = "cd '" + Dir().string() + "' && " + as + " '" + program + "' >'" +
                                out.string() + "' 2>'" + err.string() + "' " + args;
    Outcome r;
    const int status = std::system(("exec </dev/null; " + command).c_str());
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace kbt::test
