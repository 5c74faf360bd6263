// kbupdate dump and verify on the simulated keyboard: what the files hold,
// that nothing sent to the keyboard writes, the exit codes, and that a dump
// that fails or is interrupted leaves no file behind.
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "kbupdate_run.h"

namespace kbt::test {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kImageBytes = 14336;

// What the converter makes of a HEX file (kbupdate convert to stdout).
std::string Converted(const Workdir& w, const std::string& hex) {
  const Outcome r = w.Kbupdate("-q convert " + hex + " -");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.size(), kImageBytes);
  return r.out;
}

bool HasTemporaryFiles(const Workdir& w) {
  for (const auto& e : fs::directory_iterator(w.Dir()))
    if (e.path().filename().string().find(".part-") != std::string::npos) return true;
  return false;
}

std::string LastLine(const std::string& text) {
  const std::size_t end = text.size() && text.back() == '\n' ? text.size() - 1 : text.size();
  const std::size_t start = text.rfind('\n', end ? end - 1 : 0);
  return text.substr(start == std::string::npos ? 0 : start + 1, end - (start + 1));
}

TEST(KbupdateDump, ReadsWhatTheKeyboardHoldsAndWritesNothing) {
  Workdir w;
  const Outcome r =
      w.Kbupdate("dump --simulate --sim-memory fw.hex --trace t.txt --bin out.bin out.hex");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string image = Converted(w, "fw.hex");
  EXPECT_EQ(Converted(w, "out.hex"), image);
  EXPECT_EQ(w.Read("out.bin"), image);
  EXPECT_EQ(r.out, "information block: 4b 42 10 03 01 00 00 07\n");

  // Lines "N interface set|get ok|fail bytes...": no Begin, write window,
  // write or Prepare anywhere, failed reports included.
  std::istringstream trace(w.Read("t.txt"));
  std::string line;
  int reports = 0;
  while (std::getline(trace, line)) {
    ++reports;
    std::istringstream fields(line);
    std::string n, kind, direction, result, id, opcode;
    fields >> n >> kind >> direction >> result >> id >> opcode;
    if (direction != "set") continue;
    const std::string head = id + " " + opcode;
    for (const char* writes : {"05 45", "05 57", "06 77", "05 77", "05 65"})
      EXPECT_NE(head, writes) << line;
  }
  EXPECT_GE(reports, 12);

  const Outcome inspect = w.Kbupdate("inspect out.hex");
  EXPECT_EQ(inspect.exitCode, 0) << inspect.err;
  EXPECT_NE(inspect.out.find("\n0 warnings"), std::string::npos) << inspect.out;

  // A second, independent reader of Intel HEX.
  if (std::system("command -v objcopy >/dev/null") == 0) {
    const std::string command = "objcopy -I ihex -O binary '" + (w / "out.hex").string() + "' '" +
                                (w / "objcopy.bin").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(w.Read("objcopy.bin"), image);
  }
}

// Bytes 1-2 reading 38 00: the file is written as read, with a warning that
// converting it applies the Start-byte exchange.
TEST(KbupdateDump, WarnsWhereConvertingBackWouldExchangeBytes) {
  Workdir w;
  std::string image(kImageBytes, '\x11');
  image[1] = '\x38';
  image[2] = '\x00';
  w.Write("x.bin", image);
  const Outcome r = w.Kbupdate("dump --simulate --sim-memory x.bin --bin out.bin out.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.err.find("warning: image bytes 1 and 2 read 38 00"), std::string::npos) << r.err;
  EXPECT_EQ(w.Read("out.bin"), image);
}

TEST(KbupdateDump, FailedDumpLeavesNoFileAndKeepsTheOldOne) {
  Workdir w;
  for (const char* fault : {"--sim-unplug=5", "--sim-fail-from=2", "--sim-fail-from=10"}) {
    SCOPED_TRACE(fault);
    w.Write("kept.hex", "old");
    Outcome r = w.Kbupdate(std::string("dump --simulate ") + fault + " new.hex");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("nothing written"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(w / "new.hex"));
    r = w.Kbupdate(std::string("dump -q --simulate ") + fault + " kept.hex");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(w.Read("kept.hex"), "old");
    EXPECT_FALSE(HasTemporaryFiles(w));
  }
}

// An output that is a link writes the file it names, and a file replaced
// keeps its permissions: the dump changes only the content.
TEST(KbupdateDump, WritesThroughLinksAndKeepsTheMode) {
  Workdir w;
  const std::string image = Converted(w, "fw.hex");
  const struct {
    const char* setUp;
    const char* output;
    const char* written;  // where the dump lands
    fs::perms perms;      // of the written file
  } cases[] = {
      {"printf old >real.hex && ln -s real.hex link.hex", "link.hex", "real.hex", fs::perms(0644)},
      {"mkdir sub && printf old >sub/real.hex && ln -s sub/real.hex up.hex", "up.hex",
       "sub/real.hex", fs::perms(0644)},
      {"ln -s later.hex dangling.hex", "dangling.hex", "later.hex", fs::perms(0644)},
      {"printf old >private.hex && chmod 600 private.hex", "private.hex", "private.hex",
       fs::perms(0600)},
      {"printf old >shared.hex && chmod 664 shared.hex", "shared.hex", "shared.hex",
       fs::perms(0664)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.output);
    ASSERT_EQ(w.Script(std::string("umask 022; ") + c.setUp).exitCode, 0);
    const bool link = fs::is_symlink(w / c.output);
    const Outcome r = w.Kbupdate(std::string("dump -q --simulate ") + c.output);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(fs::is_symlink(w / c.output), link);
    EXPECT_EQ(Converted(w, c.written), image);
    EXPECT_EQ(fs::status(w / c.written).permissions() & fs::perms::all, c.perms);
    EXPECT_FALSE(HasTemporaryFiles(w));
  }
}

// Renamed over, a FIFO, a device node or what /dev/stdout names would become
// a plain file: whatever exists and is not a regular file is refused before
// the keyboard is touched (no trace), and stays what it was.
TEST(KbupdateDump, RefusesOutputsThatAreNotRegularFiles) {
  Workdir w;
  const bool root = geteuid() == 0;
  const struct {
    const char* setUp;
    const char* args;
    const char* path;  // the output in question
    fs::file_type kept;
    const char* says;
    bool piped = false;  // standard output a pipe
  } cases[] = {
      {"mkfifo f.hex", "f.hex", "f.hex", fs::file_type::fifo, "not a regular file"},
      {"mkdir d.hex", "d.hex", "d.hex", fs::file_type::directory, "is a folder"},
      {"ln -s /dev/null n.hex", "n.hex", "n.hex", fs::file_type::symlink, "not a regular file"},
      {"ln -s /dev/null n.bin", "--bin n.bin out.hex", "n.bin", fs::file_type::symlink,
       "not a regular file"},
      // What /dev/stdout is: the process's own standard output, here a pipe.
      {"ln -s /proc/self/fd/1 o.hex", "o.hex", "o.hex", fs::file_type::symlink,
       "not a regular file", true},
      {root ? "mknod -m 666 c.hex c 1 7" : "", "c.hex", "c.hex", fs::file_type::character,
       "not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    if (!*c.setUp) continue;  // a device node needs root
    ASSERT_EQ(w.Script(c.setUp).exitCode, 0);
    const Outcome r = w.Script(std::string("{ \"$KB\" dump --simulate --trace t.txt ") + c.args +
                               "; echo \"exit $?\" >&2; }" + (c.piped ? " | cat" : ""));
    EXPECT_NE(r.err.find("exit 2"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("before"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(w / "t.txt")) << "the keyboard was touched";
    EXPECT_FALSE(fs::exists(w / "out.hex"));
    EXPECT_EQ(fs::symlink_status(w / c.path).type(), c.kept);
    EXPECT_FALSE(HasTemporaryFiles(w));
  }
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// A termination request during the read: the job stops, removes its
// temporary file and exits 143; the existing file stays.
TEST(KbupdateDump, InterruptedDumpLeavesNoFile) {
  Workdir w;
  w.Write("kept.hex", "old");
  const std::string command = "cd '" + w.Dir().string() +
                              "' && ('" KB_KBUPDATE
                              "' dump --simulate kept.hex 2>err.txt & pid=$!; sleep 1.2; "
                              "kill -TERM $pid; wait $pid; echo $? >code.txt)";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(w.Read("code.txt"), "143\n");
  EXPECT_NE(w.Read("err.txt").find("interrupted"), std::string::npos) << w.Read("err.txt");
  EXPECT_EQ(w.Read("kept.hex"), "old");
  EXPECT_FALSE(HasTemporaryFiles(w));
}

// Equal, then files that differ in the first, a middle and the last byte:
// FAIL names the first differing address, both bytes and the count.
TEST(KbupdateVerify, PassOrTheFirstDifference) {
  Workdir w;
  const Outcome equal = w.Kbupdate("verify --simulate --sim-memory fw.hex fw.hex");
  EXPECT_EQ(equal.exitCode, 0) << equal.err;
  EXPECT_EQ(equal.out, "PASS\n");

  const std::string image = Converted(w, "fw.hex");
  for (const std::size_t at : {std::size_t{0}, std::size_t{0x1C00}, std::size_t{0x37FF}}) {
    char address[16];
    std::snprintf(address, sizeof address, "0x%04zx", at);
    SCOPED_TRACE(address);
    std::string other = image;
    other[at] = static_cast<char>(other[at] ^ 0xFF);
    w.Write("b.bin", other);
    // The differing file as Intel HEX: a dump of a keyboard holding it.
    ASSERT_EQ(w.Kbupdate("dump -q --simulate --sim-memory b.bin b.hex").exitCode, 0);
    const Outcome r = w.Kbupdate("verify --simulate --sim-memory fw.hex b.hex");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, "FAIL\n");
    char expected[96];
    std::snprintf(expected, sizeof expected, "at %s (keyboard %02x, file %02x); 1 byte differs",
                  address, static_cast<unsigned char>(image[at]),
                  static_cast<unsigned char>(other[at]));
    EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
  }
}

TEST(KbupdateVerify, SeveralKeyboardsNeedAPort) {
  Workdir w;
  const Outcome refused = w.Kbupdate("verify --simulate --sim-keyboards 3 fw.hex");
  EXPECT_EQ(refused.exitCode, 2) << refused.err;
  EXPECT_NE(refused.err.find("sim-1, sim-2, sim-3"), std::string::npos) << refused.err;

  const Outcome r = w.Kbupdate("verify --simulate --sim-keyboards 3 --port sim-2 --json fw.hex");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto last = nlohmann::json::parse(LastLine(r.out));
  EXPECT_EQ(last["type"], "result");
  EXPECT_EQ(last["result"], "PASS");
  EXPECT_EQ(last["location"], "sim-2");
  EXPECT_EQ(last["differing_bytes"], 0);
}

TEST(KbupdateReadBack, RefusedCommandLinesAndInputs) {
  Workdir w;
  w.Write("short.bin", std::string(100, '\0'));
  w.Write("raw.img", std::string(14336, '\0'));
  const struct {
    const char* args;
    int exitCode;
    const char* says;
  } cases[] = {
      {"dump --simulate --sim-memory none.hex out.hex", 3, "none.hex"},
      {"dump --simulate --sim-memory short.bin out.hex", 3, "holds 100 bytes"},
      {"dump --simulate --sim-memory raw.img out.hex", 3, "name a raw image *.bin"},
      {"dump --sim-memory fw.hex out.hex", 2, "--sim-memory needs --simulate"},
      {"dump --simulate --bin out.hex out.hex", 2, "different files"},
      {"dump --simulate -", 2, "standard output"},
      {"dump --simulate --port sim-1 --port sim-2 out.hex", 2, "one keyboard"},
      {"dump --simulate --sim-memory fw.hex fw.hex", 2, "its own --sim-memory file"},
      {"verify --simulate none.hex", 3, "none.hex"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const Outcome r = w.Kbupdate(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(w / "out.hex"));
  }
}

}  // namespace
}  // namespace kbt::test
