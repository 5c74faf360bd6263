#include "cli/access_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "device/discovery_rules.h"

namespace kbt {

std::string Hex4(std::uint16_t value) {
  char text[5];
  std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
  return text;
}

namespace {

std::string_view Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

bool Contains(std::string_view line, std::string_view part) {
  return line.find(part) != std::string_view::npos;
}

template <typename F>
void ForEachLine(std::string_view text, F&& f) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    f(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

template <typename F>
void ForEachAlternative(std::string_view pattern, F&& f) {
  for (;;) {
    const auto bar = pattern.find('|');
    f(pattern.substr(0, bar));
    if (bar == std::string_view::npos) break;
    pattern.remove_prefix(bar + 1);
  }
}

// The value of the first `KEY="value"` (or KEY:="value") assignment or match
// of `op` on the line; false when the line has none.
bool KeyValue(std::string_view line, std::string_view key, std::string_view op,
              std::string_view& value) {
  for (std::size_t at = line.find(key); at != std::string_view::npos; at = line.find(key, at + 1)) {
    // A whole key: not the tail of another (GROUP in SUBGROUP).
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(line[at - 1])) || line[at - 1] == '_'))
      continue;
    std::string_view rest = line.substr(at + key.size());
    if (rest.substr(0, op.size()) != op) continue;
    rest.remove_prefix(op.size());
    if (rest.empty() || rest.front() != '"') continue;
    const auto end = rest.find('"', 1);
    if (end == std::string_view::npos) return false;
    value = rest.substr(1, end - 1);
    return true;
  }
  return false;
}

// Whether `pattern` (udev's "a|b" alternatives of globs) matches `word`;
// only the plain forms rule files use: a name, or "*".
bool MatchesWord(std::string_view pattern, std::string_view word) {
  bool any = false;
  ForEachAlternative(pattern, [&](std::string_view p) { any = any || p == word || p == "*"; });
  return any;
}

// Whether the line applies when the node appears: with no ACTION test, or
// one that lets "add" through. A line for "remove" events only grants
// nothing to a node that stays.
bool AppliesOnAdd(std::string_view line) {
  std::string_view value;
  if (KeyValue(line, "ACTION", "==", value) && !MatchesWord(value, "add")) return false;
  if (KeyValue(line, "ACTION", "!=", value) && MatchesWord(value, "add")) return false;
  return true;
}

// Whether the line lets a user who is not root read and write the node:
// the seat's user through the uaccess tag, everyone through the mode's
// last digit, or a group given both the node and the mode's group bits.
// MODE="0600" or a GROUP with the node's default 0600 gives no one else
// anything.
bool GrantsAccess(std::string_view line) {
  if (Contains(line, "TAG+=\"uaccess\"")) return true;
  std::string_view mode;
  if (!KeyValue(line, "MODE", "=", mode) && !KeyValue(line, "MODE", ":=", mode)) return false;
  unsigned bits = 0;
  for (const char c : mode) {
    if (c < '0' || c > '7') return false;
    bits = bits * 8 + static_cast<unsigned>(c - '0');
  }
  if (mode.empty() || bits > 07777) return false;
  constexpr unsigned kReadWrite = 06;
  if ((bits & kReadWrite) == kReadWrite) return true;
  std::string_view group;
  const bool hasGroup = KeyValue(line, "GROUP", "=", group) || KeyValue(line, "GROUP", ":=", group);
  return hasGroup && !group.empty() && ((bits >> 3) & kReadWrite) == kReadWrite;
}

bool IsUpdatePair(std::uint16_t vendorId, std::uint16_t productId) {
  return vendorId == kUpdateVendorId && productId == kUpdateProductId;
}

struct Pair {
  std::uint16_t vendorId;
  std::uint16_t productId;
  bool operator==(const Pair&) const = default;
};

std::string RuleComment(const AccessRule& rule) {
  return rule.updateMode ? "# The keyboard in update mode (" + Hex4(rule.vendorId) + ":" +
                               Hex4(rule.productId) + ")."
                         : "# A keyboard in normal operation, " + Hex4(rule.vendorId) + ":" +
                               Hex4(rule.productId) + ".";
}

constexpr char kLocalFileHeader[] =
    "# Access to the keyboards present when `kbupdate access --install` ran: the\n"
    "# update tool opens their hidraw nodes for reading and writing. Written by\n"
    "# that command, which only ever adds lines; edit or remove lines freely.\n";

}  // namespace

std::vector<AccessRule> AccessPlan::Missing() const {
  std::vector<AccessRule> out;
  for (const AccessRule& r : rules)
    if (!r.installed) out.push_back(r);
  return out;
}

std::string AccessRuleLine(std::uint16_t vendorId, std::uint16_t productId) {
  return "SUBSYSTEM==\"hidraw\", KERNELS==\"*:" + Hex4(vendorId) + ":" + Hex4(productId) +
         ".*\", MODE=\"0660\", GROUP=\"plugdev\", TAG+=\"uaccess\"";
}

bool RulesCover(std::string_view rulesText, std::uint16_t vendorId, std::uint16_t productId) {
  // udev compares KERNELS as a case-sensitive glob and the kernel writes
  // the IDs in upper case: a lower-case line matches nothing, so it does not
  // count. A line must give a user who is not root read and write access
  // (the seat's user, a group, everyone) on the node's arrival to count.
  const std::string kernels = "KERNELS==\"*:" + Hex4(vendorId) + ":" + Hex4(productId) + ".*\"";
  bool covered = false;
  ForEachLine(rulesText, [&](std::string_view raw) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') return;
    if (Contains(line, "SUBSYSTEM==\"hidraw\"") && Contains(line, kernels) && AppliesOnAdd(line) &&
        GrantsAccess(line))
      covered = true;
  });
  return covered;
}

AccessPlan PlanAccess(const KeyboardList& list, const std::vector<InterfaceProbe>& probes,
                      std::string_view installedRules) {
  AccessPlan plan;
  auto keyboardAt = [&plan](const std::string& location) -> KeyboardAccess& {
    for (KeyboardAccess& k : plan.keyboards)
      if (k.location == location) return k;
    plan.keyboards.push_back(KeyboardAccess{});
    plan.keyboards.back().location = location;
    return plan.keyboards.back();
  };
  auto setIds = [](KeyboardAccess& k, std::uint16_t vendorId, std::uint16_t productId) {
    // A keyboard in normal operation is named by its own pair; an update-mode
    // interface seen beside it (a keyboard caught re-enumerating) does not
    // replace it.
    if (k.idsKnown && !IsUpdatePair(k.vendorId, k.productId)) return;
    k.idsKnown = true;
    k.vendorId = vendorId;
    k.productId = productId;
    k.mode = IsUpdatePair(vendorId, productId) ? KeyboardMode::Update : KeyboardMode::Normal;
  };

  // Keyboards in the order of their first listed interface, usable or not.
  auto known = [&list](const std::string& location) {
    if (list.At(location)) return true;
    return std::any_of(list.skipped.begin(), list.skipped.end(),
                       [&location](const SkippedInterface& s) { return s.location == location; });
  };
  for (const InterfaceProbe& probe : probes) {
    const std::string location =
        probe.info.location.empty() ? std::string(kUnknownLocation) : probe.info.location;
    if (known(location)) keyboardAt(location);
  }

  for (const Keyboard& keyboard : list.keyboards) {
    KeyboardAccess& k = keyboardAt(keyboard.location);
    for (const std::size_t i : keyboard.interfaces) {
      if (i < probes.size()) setIds(k, probes[i].info.vendorId, probes[i].info.productId);
    }
  }
  for (const SkippedInterface& s : list.skipped) {
    KeyboardAccess& k = keyboardAt(s.location);
    if (s.infoValid) setIds(k, s.vendorId, s.productId);
    if (k.canOpen) {
      k.canOpen = false;
      k.accessDenied = s.accessDenied;
      k.reason = s.reason;
    }
  }

  std::vector<Pair> pairs;
  bool anyKeyboard = false;
  for (const KeyboardAccess& k : plan.keyboards) {
    if (!k.idsKnown) continue;
    anyKeyboard = true;
    const Pair p{k.vendorId, k.productId};
    if (!IsUpdatePair(p.vendorId, p.productId) &&
        std::find(pairs.begin(), pairs.end(), p) == pairs.end())
      pairs.push_back(p);
  }
  // Every keyboard of ours ends up as the update-mode device.
  if (anyKeyboard) pairs.insert(pairs.begin(), Pair{kUpdateVendorId, kUpdateProductId});
  for (const Pair& p : pairs) {
    AccessRule rule;
    rule.vendorId = p.vendorId;
    rule.productId = p.productId;
    rule.updateMode = IsUpdatePair(p.vendorId, p.productId);
    rule.line = AccessRuleLine(p.vendorId, p.productId);
    rule.installed = RulesCover(installedRules, p.vendorId, p.productId);
    plan.rules.push_back(std::move(rule));
  }
  return plan;
}

std::string ExtendRuleFile(std::string_view existing, const std::vector<AccessRule>& rules,
                           int& added) {
  added = 0;
  std::string out(existing);
  for (const AccessRule& rule : rules) {
    // Also what this loop added: a pair listed twice gets one line.
    if (RulesCover(out, rule.vendorId, rule.productId)) continue;
    if (out.empty()) out = kLocalFileHeader;
    if (out.back() != '\n') out += '\n';
    out += '\n' + RuleComment(rule) + '\n' + rule.line + '\n';
    ++added;
  }
  return out;
}

}  // namespace kbt
