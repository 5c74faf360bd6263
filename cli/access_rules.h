// Access rules for the keyboards present: on Linux a user who is not root
// reaches a keyboard only through an udev rule that gives them its hidraw
// nodes. A keyboard in normal operation must be writable too (it is sent the
// Enter-update-mode pair), under its own vendor and product ID, and once
// switched it comes back as the update-mode device, which needs its rule as
// well.
//
// Rules match the parent HID device's kernel name, BUS:VENDOR:PRODUCT.N in
// upper-case hex, never a node name: hidraw numbers change at every arrival.
// The lines have the form of res/udev/70-kbupdate.rules.
//
// Everything here is pure: it works on what FindKeyboards saw and on the
// text of the rule files already installed, and touches neither a device
// nor a file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "device/keyboards.h"

namespace kbt {

// One rule line, for one vendor/product pair.
struct AccessRule {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  bool updateMode = false;  // the update-mode device's pair
  std::string line;
  bool installed = false;  // a rule file already holds a line that covers it
};

// One keyboard, by location: the pair its interfaces carry now and whether
// every interface that discovery would use opens for the current user.
struct KeyboardAccess {
  std::string location;
  KeyboardMode mode = KeyboardMode::Normal;
  bool idsKnown = false;  // false when its interfaces could not be described
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  bool canOpen = true;
  bool accessDenied = false;  // the reason is missing rights, not a fault
  std::string reason;         // the first reason it cannot be opened
};

struct AccessPlan {
  // The update-mode device's rule first (as in the shipped file), then one
  // per normal-mode pair in the order of the keyboards; none without a
  // keyboard.
  std::vector<AccessRule> rules;
  std::vector<KeyboardAccess> keyboards;

  std::vector<AccessRule> Missing() const;
};

// A vendor or product ID as the rules and the kernel's names write it: four
// upper-case hex digits.
std::string Hex4(std::uint16_t value);

// The rule line for a pair:
//   SUBSYSTEM=="hidraw", KERNELS=="*:VVVV:PPPP.*", MODE="0660", GROUP="plugdev", TAG+="uaccess"
std::string AccessRuleLine(std::uint16_t vendorId, std::uint16_t productId);

// Whether an active (uncommented) line of `rulesText` gives access to the
// hidraw nodes of the pair in the form above.
bool RulesCover(std::string_view rulesText, std::uint16_t vendorId, std::uint16_t productId);

// The rules the keyboards of `list` need; `probes` is what FindKeyboards
// was given, `installedRules` the text of the rule files in place.
AccessPlan PlanAccess(const KeyboardList& list, const std::vector<InterfaceProbe>& probes,
                      std::string_view installedRules);

// The text of the local rule file once the rules it lacks are added:
// `existing` unchanged (a header comment when it is empty), then a comment
// and a line for each rule of `rules` that no line of it covers. `added`
// receives how many were added; 0 means the file needs no writing.
std::string ExtendRuleFile(std::string_view existing, const std::vector<AccessRule>& rules,
                           int& added);

}  // namespace kbt
