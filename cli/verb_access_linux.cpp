// `kbupdate access` on Linux: the udev rules that give a user who is not
// root the hidraw nodes of the keyboards present, and, with --install, puts
// them in place. The rules come from cli/access_rules.h and match by vendor
// and product ID; this file reads and writes the rule files, runs udevadm
// and checks who can open what.
//
// Run through sudo, "the user" is the one who called sudo: root opens every
// node, so the check that matters is made in a child process that takes on
// that user's IDs and groups before it opens the nodes.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cli/access_rules.h"
#include "cli/common_options.h"
#include "cli/console.h"
#include "cli/devices.h"
#include "cli/json_lines.h"
#include "cli/verb_access.h"
#include "cli/verbs.h"
#include "device/discovery_rules.h"
#include "device/keyboards.h"

extern char** environ;

namespace kbt::cli {

// --install without the rights to write the system's rule file. The same
// code as a flash that found no keyboard it may use: in both the keyboard
// stays out of reach until access is given.
inline constexpr int kExitNeedsRoot = 6;

namespace {

constexpr char kLocalRulesFile[] = "/etc/udev/rules.d/71-kbupdate-local.rules";
constexpr char kInstallCommand[] = "sudo kbupdate access --install";

// A file that cannot be read is no rule text. Read through stdio: a read
// that fails (a folder named *.rules, an I/O error) makes libstdc++'s
// stream iterators throw.
std::string ReadText(const std::filesystem::path& path) {
  std::string text;
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) return text;
  char buffer[4096];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
  std::fclose(in);
  return text;
}

const char* RulesFileOverride() {
  const char* p = std::getenv("KBUPDATE_RULES_FILE");
  return p && *p ? p : nullptr;
}

// The rules in force: every *.rules of udev's folders, or the test's file.
std::string InstalledRules() {
  if (const char* file = RulesFileOverride()) return ReadText(file);
  std::string text;
  for (const char* dir : {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/local/lib/udev/rules.d",
                          "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
      if (entry.path().extension() == ".rules") text += ReadText(entry.path()) + "\n";
    }
  }
  return text;
}

// The user whose access counts: the caller of sudo when run through it.
struct TargetUser {
  bool other = false;  // not this process's own IDs
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::vector<gid_t> groups;
};

TargetUser FindTargetUser() {
  TargetUser u;
  if (geteuid() != 0) return u;
  const char* sudoUid = std::getenv("SUDO_UID");
  if (!sudoUid || std::atol(sudoUid) <= 0) return u;
  const passwd* pw = getpwuid(static_cast<uid_t>(std::atol(sudoUid)));
  if (!pw) return u;
  u.other = true;
  u.uid = pw->pw_uid;
  u.gid = pw->pw_gid;
  u.name = pw->pw_name;
  int count = 64;
  u.groups.resize(static_cast<std::size_t>(count));
  if (getgrouplist(pw->pw_name, pw->pw_gid, u.groups.data(), &count) < 0) {
    u.groups.resize(static_cast<std::size_t>(count));
    getgrouplist(pw->pw_name, pw->pw_gid, u.groups.data(), &count);
  }
  u.groups.resize(static_cast<std::size_t>(std::max(count, 0)));
  return u;
}

// Opens each node as `user` in a child process and returns 0 or the errno
// of each. Only async-signal-safe calls happen in the child: this process
// may run threads.
std::vector<int> OpenAs(const TargetUser& user, const std::vector<std::string>& nodes) {
  std::vector<int> results(nodes.size(), EIO);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return results;
  const pid_t pid = fork();
  if (pid == 0) {
    close(pipeFds[0]);
    if (setgroups(user.groups.size(), user.groups.data()) != 0 || setgid(user.gid) != 0 ||
        setuid(user.uid) != 0)
      _exit(1);
    for (const std::string& node : nodes) {
      int error = 0;
      const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0)
        error = errno;
      else
        close(fd);
      if (write(pipeFds[1], &error, sizeof error) != sizeof error) _exit(1);
    }
    _exit(0);
  }
  close(pipeFds[1]);
  if (pid > 0) {
    for (int& r : results) {
      if (read(pipeFds[0], &r, sizeof r) != sizeof r) break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  close(pipeFds[0]);
  return results;
}

// What discovery would see, with each interface it uses opened by the user
// whose access counts.
bool Probe(Devices& devices, std::vector<InterfaceProbe>& probes, std::string& error) {
  if (const HidResult r = ProbeInterfaces(devices.Hid(), probes); !r) {
    error = r.error;
    return false;
  }
  static const TargetUser user = FindTargetUser();
  if (devices.Simulated()) return true;
  if (!user.other) {
    if (geteuid() == 0)
      Detail(
          "checked as root, who opens every node; through sudo the check is "
          "made for the user who called it");
    return true;
  }
  std::vector<std::string> nodes;
  std::vector<std::size_t> which;
  for (std::size_t i = 0; i < probes.size(); ++i) {
    if (ClassifyInterface(probes[i].info, false) == DiscoveryRule::None) continue;
    const DevicePath& p = probes[i].info.path;
    nodes.emplace_back(p.begin(), p.end());  // hidraw node paths are ASCII
    which.push_back(i);
  }
  const std::vector<int> results = OpenAs(user, nodes);
  for (std::size_t n = 0; n < which.size(); ++n) {
    const int e = results[n];
    const std::string text =
        "open " + nodes[n] + ": " +
        (e == EACCES || e == EPERM ? "permission denied on " + nodes[n] + " for " + user.name
                                   : Reason(e));
    probes[which[n]].open = e == 0                        ? HidResult::Ok()
                            : (e == EACCES || e == EPERM) ? HidResult::Denied(text)
                                                          : HidResult::Fail(text);
  }
  return true;
}

// Opens the HID layer (closed again on return) and probes it: 0, or the
// exit code with its message said.
int Look(const DeviceOptions& options, std::vector<InterfaceProbe>& probes) {
  std::string error;
  int failure = kExitNoHid;
  const std::unique_ptr<Devices> devices = Devices::Open(options, error, failure);
  if (!devices) {
    Error(error);
    return failure;
  }
  if (!Probe(*devices, probes, error)) {
    Error(error);
    return kExitNoHid;
  }
  return 0;
}

std::string Describe(const KeyboardAccess& k) {
  std::string ids = k.idsKnown ? Hex4(k.vendorId) + ":" + Hex4(k.productId) : "????:????";
  return k.location + "  " + (k.mode == KeyboardMode::Update ? "update mode" : "normal operation") +
         "  " + ids + "  " +
         (k.canOpen ? "can be opened now" : "cannot be opened now: " + k.reason);
}

void PrintPlan(const AccessPlan& plan, bool json) {
  if (json) {
    for (const KeyboardAccess& k : plan.keyboards) {
      Json j;
      j["type"] = "keyboard";
      j["location"] = k.location;
      j["mode"] = ModeName(k.mode);
      j["vendor_id"] = k.idsKnown ? Json(k.vendorId) : Json(nullptr);
      j["product_id"] = k.idsKnown ? Json(k.productId) : Json(nullptr);
      j["can_open"] = k.canOpen;
      j["reason"] = k.canOpen ? Json(nullptr) : Json(k.reason);
      PrintJsonLine(j);
    }
    for (const AccessRule& r : plan.rules) {
      Json j;
      j["type"] = "rule";
      j["line"] = r.line;
      j["installed"] = r.installed;
      PrintJsonLine(j);
    }
    return;
  }
  if (plan.keyboards.empty()) {
    std::printf("# No keyboard present.\n");
    return;
  }
  std::printf("# Keyboards present:\n");
  for (const KeyboardAccess& k : plan.keyboards) std::printf("#   %s\n", Describe(k).c_str());
  std::printf("# Rules that give the user access:\n");
  for (const AccessRule& r : plan.rules) {
    if (r.installed) std::printf("# (already installed)\n");
    std::printf("%s\n", r.line.c_str());
  }
}

bool WriteFileReplacing(const std::string& path, const std::string& text, std::string& error) {
  // A new file renamed over the old one: a reader never sees half a file,
  // and a failed write leaves the old one as it was.
  // The folder first: a system without udev has no rules.d, and the rules
  // written now apply once it runs.
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) {
    errno = 0;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
      error = "cannot write " + path + ": creating " + folder.string() + ": " + ec.message();
      return false;
    }
  }
  const std::string temp = path + ".new";
  {
    errno = 0;
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      error = "cannot write " + path + ": " + Reason(errno ? errno : EIO);
      return false;
    }
    out << text;
    out.close();
    if (!out) {
      error = "cannot write " + path + ": " + Reason(errno ? errno : EIO);
      std::remove(temp.c_str());
      return false;
    }
  }
  std::filesystem::permissions(
      temp,
      std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
          std::filesystem::perms::group_read | std::filesystem::perms::others_read,
      ec);
  std::filesystem::rename(temp, path, ec);
  if (ec) {
    error = "cannot replace " + path + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

// Runs udevadm with `args`; true when it exited with 0.
bool Udevadm(const std::vector<std::string>& args) {
  const char* program = std::getenv("KBUPDATE_UDEVADM");
  std::vector<std::string> words = {program && *program ? program : "udevadm"};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reloads the rules and replays the hidraw devices' events, so that the new
// permissions apply to the nodes present without replugging.
std::string ReloadUdev() {
  if (access("/run/udev/control", F_OK) != 0) {
    Info(
        "no udev daemon runs here: the rules apply once it runs (or at the next boot); "
        "replug the keyboard then");
    return "no daemon";
  }
  if (!Udevadm({"control", "--reload"}) ||
      !Udevadm({"trigger", "--subsystem-match=hidraw", "--action=change"})) {
    Error(
        "udevadm could not reload the rules or trigger the hidraw devices; "
        "replug the keyboard, or run: udevadm control --reload && "
        "udevadm trigger --subsystem-match=hidraw");
    return "failed";
  }
  // The permissions are in place once udev has handled the events.
  (void)Udevadm({"settle", "--timeout=10"});
  Info("udev rules reloaded, hidraw devices triggered");
  return "reloaded";
}

// The simulated keyboards that refuse opens until a rule covers their IDs:
// what udev would do once the rule file holds their line.
void ApplySimulatedRules(DeviceOptions& options, const std::string& rules) {
  for (auto& [k, faults] : options.faults) {
    if (!faults.noAccess) continue;
    // A simulated keyboard starts in normal operation under our own pair,
    // and the update-mode pair is where it goes next.
    if (RulesCover(rules, sim::kSimNormalVendorId, sim::kSimNormalProductId) &&
        RulesCover(rules, sim::kSimUpdateVendorId, sim::kSimUpdateProductId))
      faults.noAccess = false;
  }
}

int Install(AccessOptions& o, const AccessPlan& before) {
  const char* overridePath = RulesFileOverride();
  if (o.device.simulate && !overridePath) {
    Error(
        "--install with --simulate writes only to the file named by KBUPDATE_RULES_FILE: "
        "the simulated keyboards' rules do not belong in /etc");
    return kExitUsage;
  }
  const std::string path = overridePath ? overridePath : kLocalRulesFile;
  if (!overridePath && geteuid() != 0) {
    Error(std::string("writing ") + kLocalRulesFile + " needs root; run: " + kInstallCommand);
    return kExitNeedsRoot;
  }
  if (before.keyboards.empty()) {
    Error("no keyboard present: plug the keyboard in and run this again");
    return kExitFailed;
  }

  int added = 0;
  const std::string existing = ReadText(path);
  const std::string text = ExtendRuleFile(existing, before.Missing(), added);
  if (added > 0) {
    std::string error;
    if (!WriteFileReplacing(path, text, error)) {
      Error(error);
      return kExitOutput;
    }
    Info(Format("added %d rule%s to %s", added, added == 1 ? "" : "s", path.c_str()));
  } else {
    Info("the rules in place already cover every keyboard present; " + path + " unchanged");
  }

  std::string udev = "simulated";
  if (o.device.simulate) {
    ApplySimulatedRules(o.device, existing + "\n" + text);
  } else {
    udev = ReloadUdev();
  }

  // Look again, as the user whose access counts.
  std::vector<InterfaceProbe> probes;
  if (const int failure = Look(o.device, probes)) return failure;
  const AccessPlan after = PlanAccess(FindKeyboards(probes), probes, InstalledRules());

  std::vector<std::string> openedNow, stillClosed;
  for (const KeyboardAccess& k : after.keyboards) {
    const auto was =
        std::find_if(before.keyboards.begin(), before.keyboards.end(),
                     [&k](const KeyboardAccess& b) { return b.location == k.location; });
    const bool wasOpen = was != before.keyboards.end() && was->canOpen;
    if (k.canOpen && !wasOpen) {
      openedNow.push_back(k.location);
      if (!o.json)
        std::printf("%s: can be opened now (before: %s)\n", k.location.c_str(),
                    was != before.keyboards.end() ? was->reason.c_str() : "not present");
    } else if (k.canOpen) {
      if (!o.json) std::printf("%s: could be opened already\n", k.location.c_str());
    } else {
      stillClosed.push_back(k.location);
      if (!o.json)
        std::printf("%s: still cannot be opened: %s\n", k.location.c_str(), k.reason.c_str());
    }
  }
  if (o.json) {
    Json j;
    j["type"] = "install";
    j["file"] = path;
    j["added"] = added;
    j["udev"] = udev;
    j["opened_now"] = openedNow;
    j["still_closed"] = stillClosed;
    PrintJsonLine(j);
  }
  return stillClosed.empty() ? kExitOk : kExitFailed;
}

}  // namespace

int RunAccess(AccessOptions& o) {
  if (const std::string e = FinishDeviceOptions(o.device); !e.empty()) {
    Error(e);
    return kExitUsage;
  }
  // Simulated keyboards see the rules in place, as real ones would.
  if (o.device.simulate) ApplySimulatedRules(o.device, InstalledRules());
  std::vector<InterfaceProbe> probes;
  if (const int failure = Look(o.device, probes)) return failure;
  const AccessPlan plan = PlanAccess(FindKeyboards(probes), probes, InstalledRules());
  PrintPlan(plan, o.json);
  if (o.install) {
    return Install(o, plan);
  }
  const std::size_t missing = plan.Missing().size();
  if (plan.keyboards.empty())
    Info(
        "no keyboard present: plug one in (in normal operation or update mode) and run this "
        "again");
  else if (missing > 0)
    Info(Format("%zu rule%s missing; to install %s: %s", missing, missing == 1 ? "" : "s",
                missing == 1 ? "it" : "them", kInstallCommand));
  else
    Info("the rules in place cover every keyboard present");
  return kExitOk;
}

}  // namespace kbt::cli
