#include "cli/common_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>

#include "cli/console.h"
#include "image/byte_source.h"
#include "image/file_platform.h"
#include "image/firmware_image.h"
#include "image/hex_to_bin.h"

namespace kbt::cli {

// The demo firmware's HEX text, built in (demo_firmware.cpp, generated).
extern const char kDemoFirmwareHex[];

void AddJsonOption(CLI::App& verb, bool& json) {
  verb.add_flag("--json", json);
}

namespace {

const CLI::Validator kNotEmpty(
    [](std::string& value) { return value.empty() ? std::string("needs a file name") : ""; },
    "FILE");

}  // namespace

void AddDeviceOptions(CLI::App& verb, DeviceOptions& o, unsigned which) {
  if (which & kSimulate) verb.add_flag("--simulate", o.simulate);
  if (which & kSimKeyboards)
    verb.add_option("--sim-keyboards", o.simKeyboards)->check(CLI::Range(1u, 64u));
  if (which & kSimFaults) {
    // One value per occurrence: a list option would go on to take the words
    // after "--sim-fail=3" (the file) as more values.
    verb.add_option("--sim-fail", o.failOnce)->allow_extra_args(false);
    verb.add_option("--sim-fail-from", o.failFrom)->allow_extra_args(false);
    verb.add_option("--sim-unplug", o.unplugAt)->allow_extra_args(false);
    verb.add_option("--sim-reject-block", o.rejectBlock)->allow_extra_args(false);
    verb.add_option("--sim-corrupt", o.corruptBlock)->allow_extra_args(false);
    // A flag, so that it never takes the next word (the file) as its value;
    // "--sim-refuse-entry=@2" names the keyboard.
    verb.add_flag("--sim-refuse-entry{@1}", o.refuseEntry);
  }
  // A flag, like --sim-refuse-entry: "--sim-no-access=@2" names the keyboard.
  // Listed among the faults in every verb's help, so taken wherever they are.
  if (which & (kSimNoAccess | kSimFaults)) verb.add_flag("--sim-no-access{@1}", o.noAccess);
  if (which & kPort) verb.add_option("--port", o.ports)->allow_extra_args(false);
  if (which & kWait) verb.add_option("--wait", o.waitSeconds)->check(CLI::Range(1u, 3600u));
  if (which & kTrace) verb.add_option("--trace", o.trace)->check(kNotEmpty);
  if (which & kSimMemory) verb.add_option("--sim-memory", o.simMemory)->check(kNotEmpty);
}

void SetSimMemory(sim::SimBus& bus, const std::vector<std::uint8_t>& image) {
  bus.WithModel([&image](sim::KeyboardModel& m) {
    std::copy_n(image.begin(), std::min(image.size(), m.Program().size()), m.Program().begin());
  });
  if (!image.empty() && image[0] == 0x00) {
    bus.Unplug();
    bus.PlugIn();
  }
}

bool LoadSimMemory(const std::string& file, std::vector<std::uint8_t>& image, std::string& error) {
  image.assign(kImageSize, 0);
  if (file.empty()) {
    const std::string_view text(kDemoFirmwareHex);
    MemoryByteSource source(std::span(text.data(), text.size()));
    return HexToBin(source, image.data()).Read();
  }
  const std::wstring path = platform::PathFromArgument(file.c_str());
  std::string ending = file.size() >= 4 ? file.substr(file.size() - 4) : std::string();
  for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const bool raw = ending == ".bin";
  if (!raw) {
    const HexToBinResult r = HexToBin(path, image.data());
    if (!r.Read()) {
      error = "--sim-memory: cannot read " + file + ": " + r.reason;
      return false;
    }
    // HEX text holds no NUL byte; a raw image named otherwise would be read
    // as text into nonsense without a word.
    if (std::FILE* in = platform::OpenForReading(path)) {
      char buffer[4096];
      bool nul = false;
      for (std::size_t n; !nul && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;)
        nul = std::memchr(buffer, 0, n) != nullptr;
      std::fclose(in);
      if (nul) {
        error = "--sim-memory: " + file +
                " holds NUL bytes: a raw image, not Intel HEX text (name a raw image *.bin)";
        return false;
      }
    }
    return true;
  }
  errno = 0;
  std::FILE* in = platform::OpenForReading(path);
  if (!in) {
    error = "--sim-memory: cannot open " + file + ": " + Reason(errno);
    return false;
  }
  // One byte more than an image, to tell a longer file from an exact one.
  std::vector<std::uint8_t> bytes(kImageSize + 1);
  const std::size_t n = std::fread(bytes.data(), 1, bytes.size(), in);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed) {
    error = "--sim-memory: reading " + file + " failed";
    return false;
  }
  if (n != kImageSize) {
    error = Format("--sim-memory: %s holds %s bytes; a raw image holds exactly %zu", file.c_str(),
                   n > kImageSize ? "more than 14336" : std::to_string(n).c_str(), kImageSize);
    return false;
  }
  std::copy_n(bytes.begin(), kImageSize, image.begin());
  return true;
}

namespace {

bool ParseUnsigned(const std::string& text, long low, long high, long& out) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [p, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || p != end || value < low || value > high) return false;
  out = value;
  return true;
}

// "N@K", "N", "@K" (with `needsValue` false): the value and the keyboard.
std::string ParseFault(const std::string& flag, const std::string& given, bool needsValue, long low,
                       long high, unsigned keyboards, long& value, unsigned& keyboard) {
  const auto at = given.find('@');
  const std::string number = given.substr(0, at);
  keyboard = 1;
  if (at != std::string::npos) {
    long k = 0;
    if (!ParseUnsigned(given.substr(at + 1), 1, 1000, k))
      return flag + ": '" + given + "': the keyboard after @ is a number from 1";
    if (k > static_cast<long>(keyboards))
      return Format("%s: '%s': there %s only %u simulated keyboard%s (--sim-keyboards)",
                    flag.c_str(), given.c_str(), keyboards == 1 ? "is" : "are", keyboards,
                    keyboards == 1 ? "" : "s");
    keyboard = static_cast<unsigned>(k);
  }
  if (!needsValue) {
    if (!number.empty()) return flag + " takes no value but an optional @K";
    return {};
  }
  if (!ParseUnsigned(number, low, high, value))
    return Format("%s: '%s': expects a number from %ld to %ld, optionally followed by @K",
                  flag.c_str(), given.c_str(), low, high);
  return {};
}

}  // namespace

std::string FinishDeviceOptions(DeviceOptions& o) {
  struct Flag {
    const char* name;
    const std::vector<std::string>& given;
    long low, high;
    int sim::SimFaults::*field;
  };
  const Flag flags[] = {
      {"--sim-fail", o.failOnce, 1, 100000, &sim::SimFaults::failOnce},
      {"--sim-fail-from", o.failFrom, 1, 100000, &sim::SimFaults::failFrom},
      {"--sim-unplug", o.unplugAt, 1, 100000, &sim::SimFaults::unplugAt},
      {"--sim-reject-block", o.rejectBlock, 0, 6, &sim::SimFaults::rejectBlock},
      {"--sim-corrupt", o.corruptBlock, 0, 6, &sim::SimFaults::corruptBlock},
  };
  bool any = !o.refuseEntry.empty();
  for (const Flag& f : flags) {
    for (const std::string& given : f.given) {
      any = true;
      long value = 0;
      unsigned keyboard = 1;
      std::string error =
          ParseFault(f.name, given, true, f.low, f.high, o.simKeyboards, value, keyboard);
      if (!error.empty()) return error;
      o.faults[keyboard].*f.field = static_cast<int>(value);
    }
  }
  for (const std::string& given : o.refuseEntry) {
    long unused = 0;
    unsigned keyboard = 1;
    std::string error =
        ParseFault("--sim-refuse-entry", given, false, 0, 0, o.simKeyboards, unused, keyboard);
    if (!error.empty()) return error;
    o.faults[keyboard].refuseEntry = true;
  }
  for (const std::string& given : o.noAccess) {
    any = true;
    long unused = 0;
    unsigned keyboard = 1;
    const std::string error =
        ParseFault("--sim-no-access", given, false, 0, 0, o.simKeyboards, unused, keyboard);
    if (!error.empty()) return error;
    o.faults[keyboard].noAccess = true;
  }
  // A location named twice is one keyboard (the wait counts the names).
  for (auto it = o.ports.begin(); it != o.ports.end();)
    it = std::find(o.ports.begin(), it, *it) != it ? o.ports.erase(it) : it + 1;
  if (any && !o.simulate) return "the --sim-* faults need --simulate";
  if (o.simKeyboards != 1 && !o.simulate) return "--sim-keyboards needs --simulate";
  if (!o.simMemory.empty() && !o.simulate) return "--sim-memory needs --simulate";
  return {};
}

}  // namespace kbt::cli
