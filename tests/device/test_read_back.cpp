// The read path on one keyboard (dump, verify): its exact sequence, and that
// nothing on it ever changes the keyboard, whatever fails where.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "device/keyboards.h"
#include "device/protocol.h"
#include "device/session.h"
#include "image/hex_to_bin.h"
#include "image/hex_writer.h"
#include "sim/sim_bus.h"
#include "support.h"

namespace kbt::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The keyboard in update mode, found as a front end finds it.
SessionInterfaces UpdateModeInterfaces(const Sleeper& sleep, sim::SimBus& bus) {
  std::vector<InterfaceProbe> probes;
  EXPECT_TRUE(ProbeInterfaces(bus, probes));
  const KeyboardList list = FindKeyboards(probes);
  if (list.keyboards.empty()) return {};
  const Keyboard& k = list.keyboards.front();
  if (k.mode == KeyboardMode::Normal) {
    EXPECT_TRUE(EnterUpdateMode(bus, k, sleep));
    bus.WaitSettled();
    return UpdateModeInterfaces(sleep, bus);
  }
  return {k.data, k.command, k.location};
}

int ReadBackOnce(const Sleeper& sleep, sim::SimBus& bus, ReadBack& out,
                 std::vector<std::string>* notes = nullptr) {
  NoteCollector sink;
  UpdateSession session(bus, UpdateModeInterfaces(sleep, bus), nullptr, &sink, {}, nullptr, sleep);
  const int result = session.ReadBackRun(out);
  if (notes) *notes = sink.notes;
  return result;
}

int Update(const Sleeper& sleep, sim::SimBus& bus, const Bytes& image) {
  UpdateSession session(
      bus, UpdateModeInterfaces(sleep, bus), image.data(), nullptr, [] { return std::uint16_t{1}; },
      nullptr, sleep);
  return session.Run();
}

Bytes RandomImage(unsigned seed) {
  std::mt19937 rng(seed);
  Bytes image(kImageSize);
  for (auto& b : image) b = static_cast<std::uint8_t>(rng());
  image[0] = 0x02;  // an application that starts after Finish
  image[2] = 0x01;  // no Start-byte exchange
  return image;
}

bool ChangesMemory(const TraceRecord& r) {
  if (r.get || r.bytes.size() < 2) return false;
  const std::uint8_t op = r.bytes[1];
  return op == 0x45 || op == 0x57 || op == 0x77 || op == 0x65;
}

class ReadBackTest : public ::testing::Test {
 protected:
  RecordedSleep sleep;  // the waits are recorded, not slept
};

TEST_F(ReadBackTest, SequenceByteForByte) {
  sim::SimBus bus(sim::SimMode::Update);
  const auto [program, info] = bus.WithModel([](sim::KeyboardModel& m) {
    return std::pair{Bytes(m.Program().begin(), m.Program().end()),
                     Bytes(m.InfoBlock().begin(), m.InfoBlock().end())};
  });
  ReadBack out;
  ASSERT_EQ(ReadBackOnce(sleep.Function(), bus, out), kUpdateRunOk);

  struct Expected {
    TraceInterface kind;
    bool get;
    Bytes start;  // the first bytes on the wire (a get: of the reply)
    std::size_t length;
  };
  std::vector<Expected> table = {
      {TraceInterface::Command, false, {0x05, 0x52, 0x00, 0x00, 0x00, 0x38}, 6}};
  for (int k = 0; k < 7; ++k) table.push_back({TraceInterface::Data, true, {0x06, 0x72}, 2050});
  table.push_back({TraceInterface::Command, false, {0x05, 0x52, 0x80, 0xFF, 0x08, 0x00}, 6});
  table.push_back(
      {TraceInterface::Command, true, {0x05, 0x72, info[0], info[1], info[2], info[3]}, 6});
  table.push_back(
      {TraceInterface::Command, true, {0x05, 0x72, info[4], info[5], info[6], info[7]}, 6});
  table.push_back({TraceInterface::Command, false, {0x05, 0x55, 0x55, 0x55, 0x55, 0x55}, 6});

  const std::vector<TraceRecord> trace = bus.Trace();
  ASSERT_EQ(trace.size(), table.size());
  for (std::size_t i = 0; i < table.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i + 1));
    EXPECT_EQ(trace[i].interfaceKind, table[i].kind);
    EXPECT_EQ(trace[i].get, table[i].get);
    EXPECT_TRUE(trace[i].ok);
    ASSERT_EQ(trace[i].bytes.size(), table[i].length);
    EXPECT_TRUE(std::equal(table[i].start.begin(), table[i].start.end(), trace[i].bytes.begin()));
  }
  EXPECT_EQ(sleep.Waits(), (std::vector<unsigned>{10, 10, 10, 10, 10, 10, 10, 100}));

  EXPECT_EQ(out.image, program);
  EXPECT_EQ(Bytes(out.informationBlock.begin(), out.informationBlock.end()), info);
  EXPECT_TRUE(out.finished);
  // Finish restarted the keyboard into its firmware.
  bus.WaitSettled();
  EXPECT_EQ(bus.Mode(), sim::SimMode::Normal);
}

// Every fault at every report of the read sequence: the keyboard's memory and
// information block stay as they were, no report that changes memory goes
// out, what is reported read is what the keyboard holds, and a later update
// still passes.
TEST_F(ReadBackTest, NoFaultAnywhereChangesTheKeyboard) {
  enum class Kind { FailOnce, FailFrom, Unplug };
  const Bytes next = RandomImage(21);
  for (Kind kind : {Kind::FailOnce, Kind::FailFrom, Kind::Unplug}) {
    for (int n = 1; n <= 12; ++n) {
      SCOPED_TRACE("fault kind " + std::to_string(static_cast<int>(kind)) + " at report " +
                   std::to_string(n));
      sim::SimBus bus(sim::SimMode::Update);
      // Plain variables, not a structured binding: the lambda below takes
      // them, which clang 14 does not allow for bindings.
      const Bytes program = bus.WithModel(
          [](sim::KeyboardModel& m) { return Bytes(m.Program().begin(), m.Program().end()); });
      const Bytes info = bus.WithModel(
          [](sim::KeyboardModel& m) { return Bytes(m.InfoBlock().begin(), m.InfoBlock().end()); });
      sim::SimFaults faults;
      (kind == Kind::FailOnce   ? faults.failOnce
       : kind == Kind::FailFrom ? faults.failFrom
                                : faults.unplugAt) = n;
      bus.SetFaults(faults);

      ReadBack out;
      std::vector<std::string> notes;
      const int result = ReadBackOnce(sleep.Function(), bus, out, &notes);
      // A report lost once is asked again; only a lost Finish stays lost.
      const bool shouldPass = kind == Kind::FailOnce && n != 12;
      EXPECT_EQ(result, shouldPass ? kUpdateRunOk : kUpdateRunFailed);
      // A failure, also one asked again, says where.
      EXPECT_EQ(notes.empty(), kind != Kind::FailOnce && result == kUpdateRunOk);
      // Read is read right; a part not read is empty, never half.
      EXPECT_EQ(out.image, out.imageRead ? program : Bytes{});
      EXPECT_EQ(Bytes(out.informationBlock.begin(), out.informationBlock.end()),
                out.informationBlockRead ? info : Bytes(8, 0));

      for (const TraceRecord& r : bus.Trace())
        EXPECT_FALSE(ChangesMemory(r)) << HexBytes(r.bytes.data(), 6);
      const bool unchanged = bus.WithModel([&](sim::KeyboardModel& m) {
        return Bytes(m.Program().begin(), m.Program().end()) == program &&
               Bytes(m.InfoBlock().begin(), m.InfoBlock().end()) == info;
      });
      EXPECT_TRUE(unchanged);

      bus.SetFaults({});
      bus.WaitSettled();
      if (!bus.OnBus()) bus.PlugIn();
      EXPECT_EQ(Update(sleep.Function(), bus, next), kUpdateRunOk);
      const bool updated = bus.WithModel([&](sim::KeyboardModel& m) {
        return Bytes(m.Program().begin(), m.Program().end()) == next;
      });
      EXPECT_TRUE(updated);
    }
  }
}

// A cancel flag set before the read sends nothing, not even Finish.
TEST_F(ReadBackTest, CancelledSendsNothing) {
  sim::SimBus bus(sim::SimMode::Update);
  std::atomic<bool> cancel{true};
  NoteCollector sink;
  UpdateSession session(bus, UpdateModeInterfaces(sleep.Function(), bus), nullptr, &sink, {},
                        &cancel, sleep.Function());
  ReadBack out;
  EXPECT_EQ(session.ReadBackRun(out), kUpdateRunFailed);
  EXPECT_TRUE(session.Cancelled());
  EXPECT_TRUE(bus.Trace().empty());
}

// Dump, flash another firmware, flash the dump, dump again: the keyboard
// holds what it held at the start, byte for byte.
TEST_F(ReadBackTest, RestoreCycle) {
  sim::SimBus bus(sim::SimMode::Normal);
  const Bytes original = RandomImage(1);
  bus.WithModel([&](sim::KeyboardModel& m) {
    std::copy(original.begin(), original.end(), m.Program().begin());
  });

  ReadBack first;
  ASSERT_EQ(ReadBackOnce(sleep.Function(), bus, first), kUpdateRunOk);
  // Through the file format, as `dump` writes it and `flash` reads it.
  const std::string text = ImageToHex(first.image);
  Bytes restored(kImageSize, 0);
  MemoryByteSource source(std::span(text.data(), text.size()));
  ASSERT_TRUE(HexToBin(source, restored.data()).Read());

  ASSERT_EQ(Update(sleep.Function(), bus, RandomImage(2)), kUpdateRunOk);
  bus.WaitSettled();
  ASSERT_EQ(Update(sleep.Function(), bus, restored), kUpdateRunOk);
  bus.WaitSettled();

  ReadBack second;
  ASSERT_EQ(ReadBackOnce(sleep.Function(), bus, second), kUpdateRunOk);
  EXPECT_EQ(second.image, first.image);
  EXPECT_EQ(second.image, original);
}

}  // namespace
}  // namespace kbt::test
