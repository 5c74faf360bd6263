// FindKeyboards over tables of listed interfaces: grouping by location,
// modes, what is skipped and why, and the dialog's reduction of the list.
#include <gtest/gtest.h>

#include "device/keyboards.h"
#include "device/session.h"
#include "fake_hid.h"

namespace kbt::test {
namespace {

constexpr std::uint16_t kPage = 0xFF00;

InterfaceProbe At(std::string location, HidInterfaceInfo info, HidResult open = HidResult::Ok()) {
  info.location = std::move(location);
  return {std::move(info), std::move(open)};
}

InterfaceProbe Data(const std::string& location, const wchar_t* path) {
  return At(location, Info(path, 0x0603, 0x1020, kPage, 2050));
}
InterfaceProbe Command(const std::string& location, const wchar_t* path) {
  return At(location, Info(path, 0x0603, 0x1020, kPage, 6));
}
InterfaceProbe Vendor(const std::string& location, const wchar_t* path) {
  return At(location, Info(path, 0x4B54, 0x0101, kPage, 6));
}
InterfaceProbe Boot(const std::string& location, const wchar_t* path) {
  return At(location, Info(path, 0x4B54, 0x0101, 0x0001, 0));
}

// One line per keyboard: "location mode data command vendor...".
std::vector<std::string> Describe(const KeyboardList& list) {
  std::vector<std::string> out;
  auto narrow = [](const DevicePath& p) { return std::string(p.begin(), p.end()); };
  for (const Keyboard& k : list.keyboards) {
    std::string line = k.location + (k.mode == KeyboardMode::Update ? " update" : " normal");
    line += " data=" + narrow(k.data) + " command=" + narrow(k.command);
    for (const auto& v : k.vendor) line += " vendor=" + narrow(v);
    if (!k.Complete()) line += " incomplete";
    out.push_back(line);
  }
  for (const SkippedInterface& s : list.skipped)
    out.push_back("skipped " + narrow(s.path) + " at " + s.location + ": " + s.reason);
  return out;
}

struct ListCase {
  const char* name;
  std::vector<InterfaceProbe> probes;
  std::vector<std::string> expected;
};

TEST(FindKeyboards, GroupsInterfacesByLocation) {
  const ListCase cases[] = {
      {"nothing present", {}, {}},
      {"one keyboard in normal operation",
       {Boot("1-2", L"/h0"), Vendor("1-2", L"/h1")},
       {"1-2 normal data= command= vendor=/h1"}},
      {"two keyboards in update mode, interleaved in the listing",
       {Data("1-2", L"/h0"), Data("1-3", L"/h1"), Command("1-3", L"/h2"), Command("1-2", L"/h3")},
       {"1-2 update data=/h0 command=/h3", "1-3 update data=/h1 command=/h2"}},
      {"a keyboard with only its Data interface so far",
       {Data("1-2", L"/h0")},
       {"1-2 update data=/h0 command= incomplete"}},
      {"normal and update mode mixed",
       {Vendor("1-4", L"/h0"), Data("1-2", L"/h1"), Boot("1-4", L"/h2"), Command("1-2", L"/h3")},
       {"1-4 normal data= command= vendor=/h0", "1-2 update data=/h1 command=/h3"}},
      {"an interface that cannot be opened is skipped with its reason",
       {Data("1-2", L"/h0"),
        At("1-2", Info(L"/h1", 0x0603, 0x1020, kPage, 6), HidResult::Fail("permission denied")),
        At("1-5", Info(L"/h2", 0x4B54, 0x0101, kPage, 6), HidResult::Fail("permission denied"))},
       {"1-2 update data=/h0 command= incomplete", "skipped /h1 at 1-2: permission denied",
        "skipped /h2 at 1-5: permission denied"}},
      {"an unreadable descriptor is skipped; other devices are not ours",
       {At("1-6", Info(L"/h0", 0x0603, 0x1020, kPage, 2050, false)),
        At("1-7", Info(L"/h1", 0x046D, 0xC52B, 0x000C, 0))},
       {"skipped /h0 at 1-6: attributes or report descriptor cannot be read"}},
      {"no location: one group under the unknown place",
       {Data("", L"/h0"), Command("", L"/h1")},
       {"unknown update data=/h0 command=/h1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Describe(FindKeyboards(c.probes)), c.expected);
  }
}

// The keyboard keeps its location when it re-enumerates: the walk after
// the Enter-update-mode pair finds it at the same place, in update mode,
// under new paths.
TEST(FindKeyboards, AKeyboardReenumeratingBetweenWalksKeepsItsLocation) {
  const KeyboardList before = FindKeyboards({Boot("3-1", L"/h0"), Vendor("3-1", L"/h1"),
                                             Vendor("3-2", L"/h2")});
  const KeyboardList after = FindKeyboards({Vendor("3-2", L"/h2"), Data("3-1", L"/h7"),
                                            Command("3-1", L"/h8")});
  ASSERT_NE(before.At("3-1"), nullptr);
  ASSERT_NE(after.At("3-1"), nullptr);
  EXPECT_EQ(before.At("3-1")->mode, KeyboardMode::Normal);
  EXPECT_EQ(after.At("3-1")->mode, KeyboardMode::Update);
  EXPECT_EQ(after.At("3-1")->data, L"/h7");
  EXPECT_EQ(after.At("3-2")->mode, KeyboardMode::Normal);
  EXPECT_EQ(after.Locations(), (std::vector<std::string>{"3-2", "3-1"}));
}

// The dialog keeps one pair: the Data and Command interfaces listed last,
// even when they belong to different keyboards.
TEST(FindKeyboards, DialogReductionKeepsTheLastMatchAcrossKeyboards) {
  const std::vector<InterfaceProbe> probes = {Data("1-2", L"/h0"), Command("1-2", L"/h1"),
                                              Data("1-3", L"/h2"), Command("1-3", L"/h3"),
                                              Data("1-2", L"/h4")};
  const DialogMatch match = ReduceForDialog(FindKeyboards(probes), probes);
  EXPECT_EQ(match.data, L"/h4");
  EXPECT_EQ(match.command, L"/h3");
  EXPECT_EQ(match.dataInterfaces, 3);

  // A path that does not fit the buffers is skipped, never cut; an earlier
  // one that fits stays.
  const std::wstring tooLong(260, L'x');
  const std::vector<InterfaceProbe> withLong = {Data("1-2", L"/h0"),
                                                Data("1-2", tooLong.c_str())};
  const DialogMatch kept = ReduceForDialog(FindKeyboards(withLong), withLong);
  EXPECT_EQ(kept.data, L"/h0");
  EXPECT_EQ(kept.dataInterfaces, 1);
}

// ProbeInterfaces opens only what a rule would use, and says why an open
// failed.
TEST(FindKeyboards, ProbeOpensOnlyCandidates) {
  FakeHid hid({{Info(L"/boot", 0x4B54, 0x0101, 0x0001, 0), true, 0},
               {Info(L"/vendor", 0x4B54, 0x0101, kPage, 6), false, 0},
               {Info(L"/data", 0x0603, 0x1020, kPage, 2050), true, 0}});
  std::vector<DevicePath> opened;
  hid.onOpen = [&](const DevicePath& p) { opened.push_back(p); };
  std::vector<InterfaceProbe> probes;
  ASSERT_TRUE(ProbeInterfaces(hid, probes));
  EXPECT_EQ(opened, (std::vector<DevicePath>{L"/vendor", L"/data"}));
  const KeyboardList list = FindKeyboards(probes);
  ASSERT_EQ(list.skipped.size(), 1u);
  EXPECT_EQ(list.skipped[0].reason, "access denied");
  // Refused access travels with the IDs that an access rule would name.
  EXPECT_TRUE(list.skipped[0].accessDenied);
  EXPECT_EQ(list.skipped[0].vendorId, 0x4B54);
  EXPECT_EQ(list.skipped[0].productId, 0x0101);
  EXPECT_TRUE(hid.Sent().empty());  // probing sends nothing
}

// A keyboard's paths open only as the interfaces its listing described:
// once they name another device (a node passed on after the keyboard left),
// the entry pair and a session refuse them and send nothing.
TEST(FindKeyboards, PathsOpenOnlyAsListed) {
  auto at = [](std::string location, HidInterfaceInfo info) {
    info.location = std::move(location);
    return FakeInterface{std::move(info), true, 0};
  };
  FakeHid hid({at("1-1", Info(L"/h0", 0x4B54, 0x0101, kPage, 6)),
               at("1-2", Info(L"/h1", 0x0603, 0x1020, kPage, 2050)),
               at("1-2", Info(L"/h2", 0x0603, 0x1020, kPage, 6))});
  std::vector<InterfaceProbe> probes;
  ASSERT_TRUE(ProbeInterfaces(hid, probes));
  const KeyboardList before = FindKeyboards(probes);
  ASSERT_EQ(before.keyboards.size(), 2u);
  const Keyboard& a = *before.At("1-1");
  const Keyboard& b = *before.At("1-2");
  ASSERT_EQ(a.listed.size(), 1u);
  ASSERT_NE(b.Listing(L"/h2"), nullptr);
  EXPECT_EQ(b.Listing(L"/h2")->location, "1-2");
  EXPECT_EQ(b.Listing(L"/h0"), nullptr);

  // Both leave; another keyboard at 1-3 takes their nodes, the same IDs as b.
  hid.Replace({at("1-3", Info(L"/h0", 0x4B54, 0x0101, kPage, 6)),
               at("1-3", Info(L"/h1", 0x0603, 0x1020, kPage, 2050)),
               at("1-3", Info(L"/h2", 0x0603, 0x1020, kPage, 6))});
  const HidResult entry = EnterUpdateMode(hid, a);
  EXPECT_FALSE(entry);
  EXPECT_NE(entry.error.find("another device"), std::string::npos) << entry.error;

  NoteCollector notes;
  UpdateSession session(hid, {b.data, b.command, b.location, b.listed}, nullptr, &notes,
                        [] { return std::uint16_t{1}; });
  EXPECT_EQ(session.Run(), kUpdateRunFailed);
  ASSERT_FALSE(notes.notes.empty());
  EXPECT_NE(notes.notes[0].find("open Data interface: the node now belongs to another device"),
            std::string::npos)
      << notes.notes[0];
  EXPECT_TRUE(hid.Sent().empty());

  // A fresh listing opens them.
  ASSERT_TRUE(ProbeInterfaces(hid, probes));
  const KeyboardList after = FindKeyboards(probes);
  ASSERT_EQ(after.keyboards.size(), 1u);
  EXPECT_TRUE(after.skipped.empty());
}

}  // namespace
}  // namespace kbt::test
