// The dialog controller against fakes of the window: the state table, the
// Start command's refusals, arrivals and removals in each state.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>

#include "device/empty_hid.h"
#include "device/update_counter.h"
#include "dialog/dialog_state.h"
#include "image/firmware_image.h"
#include "image/hex_file_location.h"
#include "tests/dialog/dialog_support.h"
#include "tests/ui/ui_fakes.h"
#include "ui/dialog_controller.h"

namespace kbt {
namespace {

using test::EventLog;
using test::FakeDialog;
using test::FakeOutputs;
using Strings = std::vector<std::string>;

using NoHid = EmptyHidBackend;

// Writes an Intel HEX file holding `bytes` from address 0, 16 bytes a line.
void WriteHex(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  for (std::size_t a = 0; a < bytes.size(); a += 16) {
    const std::size_t n = std::min<std::size_t>(16, bytes.size() - a);
    unsigned sum = static_cast<unsigned>(n + (a >> 8) + (a & 0xFF));
    char head[48];
    std::snprintf(head, sizeof head, ":%02zX%04zX00", n, a);
    out << head;
    for (std::size_t i = 0; i < n; ++i) {
      char b[4];
      std::snprintf(b, sizeof b, "%02X", bytes[a + i]);
      out << b;
      sum += bytes[a + i];
    }
    char check[4];
    std::snprintf(check, sizeof check, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    out << check << "\r\n";
  }
  out << ":00000001FF\r\n";
}

std::vector<std::uint8_t> FirmwareBytes(bool signed_) {
  std::vector<std::uint8_t> bytes(256, 0x11);
  if (signed_) {
    const char text[] = "KORVANE CO.,LTD";
    for (std::size_t i = 0; i < 15; ++i) {
      bytes[64 + 2 * i] = static_cast<std::uint8_t>(text[i]);
      bytes[64 + 2 * i + 1] = 0;
    }
  }
  return bytes;
}

bool ImageAllZero(const std::uint8_t* image) {
  for (std::size_t i = 0; i < kImageSize; ++i)
    if (image[i] != 0) return false;
  return true;
}

const DevicePath kDataPath = L"\\\\?\\hid#vid_0603&pid_1020&mi_00#7&1a2b&0&0000#{4d1e55b2}";
const DevicePath kCommandPath = L"\\\\?\\hid#vid_0603&pid_1020&mi_01#7&3c4d&0&0000#{4d1e55b2}";

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetStatusOutputs(outputs_);
    dir_ = std::filesystem::temp_directory_path() /
           ("kbt-ui-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    controller_.emplace(hid_, counter_, dialog_, 0x808080, workers_);
    log_.Take();
  }
  void TearDown() override {
    RemoveStatusOutputs();
    running_ = {};
    std::filesystem::remove_all(dir_);
  }

  // The state "Device ready", as a discovery that found the device leaves it.
  void MakeReady() {
    State().WriteDevicePaths({kDataPath, kCommandPath});
    SetButtonColor(kColorYellow);
    State().deviceReady = true;
    EnableStartButton(true);
    log_.Take();
  }
  // "Update running": a good Start over a ready device.
  void MakeRunning() {
    MakeReady();
    dialog_.field = GoodFile();
    controller_->OnStart();
    ASSERT_TRUE(running_.owns_lock());
    log_.Take();
  }
  // "Update finished": the worker's end of a run.
  void MakeFinished(ColorRef result) {
    MakeRunning();
    SetButtonColor(result);
    State().updateBusy = false;
    running_ = {};
    log_.Take();
  }

  std::wstring GoodFile() {
    WriteHex(dir_ / "good.hex", FirmwareBytes(true));
    return (dir_ / "good.hex").wstring();
  }

  // The dialog's state, which the controller owns.
  DialogState& State() { return controller_->State(); }

  EventLog log_;
  std::shared_ptr<FakeOutputs> outputs_ = std::make_shared<FakeOutputs>(log_);
  UpdateCounter counter_;
  FakeDialog dialog_{log_};
  NoHid hid_;
  int discoveries_ = 0;
  std::unique_lock<std::mutex> running_;  // the image lock a "run" holds
  ControllerWorkers workers_{
      [this](const std::shared_ptr<DialogState>&, HidBackend&) {
        ++discoveries_;
        log_.Add("discovery");
      },
      [this](const std::shared_ptr<DialogState>&, HidBackend&, std::unique_lock<std::mutex> lock) {
        running_ = std::move(lock);
        log_.Add("update");
      }};
  std::optional<DialogController> controller_;
  std::filesystem::path dir_;
};

TEST_F(ControllerTest, ConstructionGivesTheGreyNormalButton) {
  g_ButtonFillColor = kColorGreen;
  g_ButtonState = kButtonPressed;
  g_ButtonCaption = L"old";
  DialogController fresh(hid_, counter_, dialog_, 0x112233, workers_);
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  EXPECT_EQ(g_ButtonState, kButtonNormal);
  EXPECT_EQ(g_ButtonTracking, 0);
  EXPECT_TRUE(g_ButtonCaption.empty());
  EXPECT_EQ(g_ButtonTextColor, 0u);
  EXPECT_EQ(g_ButtonGrayTextColor, 0x112233u);
}

TEST_F(ControllerTest, InitialisationDiscoversThenRegistersThenFillsTheField) {
  controller_->Initialize();
  EXPECT_EQ(log_.Take(), (Strings{"discovery", "register", "field"}));
  EXPECT_FALSE(dialog_.field.empty());
}

TEST_F(ControllerTest, ArrivalStartsDiscoveryOnlyWhileWaiting) {
  struct Case {
    bool ready, busy;
    bool discovers;
  };
  for (const Case c : {Case{false, false, true}, Case{true, false, false}, Case{false, true, false},
                       Case{true, true, false}}) {
    SCOPED_TRACE(testing::Message() << "ready " << c.ready << " busy " << c.busy);
    for (bool interface : {true, false}) {
      State().deviceReady = c.ready;
      State().updateBusy = c.busy;
      State().bootEntryHold = true;
      discoveries_ = 0;
      controller_->OnDeviceEvent({DeviceEvent::Kind::Arrival, interface, L"/dev/hidraw3"});
      EXPECT_EQ(discoveries_, c.discovers ? 1 : 0);
      // The hold is lifted only for the discovery that the arrival starts.
      EXPECT_EQ(State().bootEntryHold.load(), !c.discovers);
      EXPECT_EQ(State().deviceReady.load(), c.ready);
      EXPECT_EQ(State().updateBusy.load(), c.busy);
    }
  }
}

TEST_F(ControllerTest, EveryArrivalWhileWaitingAsksForADiscovery) {
  for (int i = 0; i < 3; ++i) controller_->OnDeviceEvent({DeviceEvent::Kind::Arrival, true, {}});
  EXPECT_EQ(discoveries_, 3);
  controller_->OnDeviceEvent({DeviceEvent::Kind::Other, true, {}});
  EXPECT_EQ(discoveries_, 3);
}

TEST_F(ControllerTest, OnlyTheDataInterfaceRemovalResets) {
  struct Case {
    const char* name;
    DeviceEvent event;
    bool resets;
  };
  DevicePath upper = kDataPath;
  for (auto& ch : upper) ch = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(ch)));
  const Case cases[] = {
      {"data path", {DeviceEvent::Kind::Removal, true, kDataPath}, true},
      {"data path in other case", {DeviceEvent::Kind::Removal, true, upper}, true},
      {"command path", {DeviceEvent::Kind::Removal, true, kCommandPath}, false},
      {"another device", {DeviceEvent::Kind::Removal, true, L"/dev/hidraw9"}, false},
      {"data path one char longer", {DeviceEvent::Kind::Removal, true, kDataPath + L"x"}, false},
      {"not a device interface", {DeviceEvent::Kind::Removal, false, kDataPath}, false},
      {"other event kind", {DeviceEvent::Kind::Other, true, kDataPath}, false},
      {"arrival of the data path", {DeviceEvent::Kind::Arrival, true, kDataPath}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeReady();
    State().bootEntryHold = false;
    controller_->OnDeviceEvent(c.event);
    if (c.resets) {
      EXPECT_EQ(log_.Take(), (Strings{"color F3F3F3", "disable"}));
      EXPECT_TRUE(State().ReadDevicePaths().data.empty());
      EXPECT_TRUE(State().ReadDevicePaths().command.empty());
      EXPECT_FALSE(State().deviceReady.load());
      EXPECT_FALSE(State().updateBusy.load());
      EXPECT_TRUE(State().bootEntryHold.load());
    } else {
      EXPECT_EQ(log_.Take(), Strings{});
      EXPECT_EQ(State().ReadDevicePaths().data, kDataPath);
      EXPECT_EQ(State().ReadDevicePaths().command, kCommandPath);
      EXPECT_TRUE(State().deviceReady.load());
      EXPECT_FALSE(State().bootEntryHold.load());
    }
  }
}

TEST_F(ControllerTest, RemovalWhileNoDeviceIsKnownChangesNothing) {
  for (const DevicePath& path : {DevicePath{}, kDataPath}) {
    controller_->OnDeviceEvent({DeviceEvent::Kind::Removal, true, path});
    EXPECT_EQ(log_.Take(), Strings{});
    EXPECT_FALSE(State().bootEntryHold.load());
  }
}

TEST_F(ControllerTest, RemovalResetsEveryStateToWaiting) {
  for (int state = 0; state < 4; ++state) {
    SCOPED_TRACE(state);
    if (state == 0) MakeReady();
    if (state == 1) MakeRunning();
    if (state == 2) MakeFinished(kColorGreen);
    if (state == 3) MakeFinished(kColorRed);
    controller_->OnDeviceEvent({DeviceEvent::Kind::Removal, true, kDataPath});
    EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
    EXPECT_FALSE(outputs_->enabled_.load());
    EXPECT_FALSE(State().deviceReady.load());
    EXPECT_FALSE(State().updateBusy.load());
    EXPECT_TRUE(State().bootEntryHold.load());
    // A removal does not stop a run: the run keeps the image until it ends.
    EXPECT_EQ(running_.owns_lock(), state == 1);
    // The next arrival starts the cycle again.
    discoveries_ = 0;
    controller_->OnDeviceEvent({DeviceEvent::Kind::Arrival, true, {}});
    EXPECT_EQ(discoveries_, 1);
    EXPECT_FALSE(State().bootEntryHold.load());
    running_ = {};
  }
}

TEST_F(ControllerTest, GoodStartHandsTheImageToTheUpdate) {
  MakeReady();
  dialog_.field = GoodFile();
  controller_->OnStart();
  EXPECT_EQ(log_.Take(), (Strings{"disable", "range 0..17", "pos 0", "pos 0", "update"}));
  EXPECT_EQ(g_ProgressStep.load(), 1);
  EXPECT_TRUE(State().updateBusy.load());
  EXPECT_TRUE(State().deviceReady.load());
  EXPECT_TRUE(dialog_.boxes.empty());
  EXPECT_TRUE(running_.owns_lock());
  EXPECT_EQ(State().imageBuffer.get()[64], 'K');
  EXPECT_EQ(State().imageBuffer.get()[300], 0);
}

TEST_F(ControllerTest, RefusedStartsShowTheirBoxes) {
  const auto missing = (dir_ / "gone.hex").wstring();
  WriteHex(dir_ / "plain.hex", FirmwareBytes(false));
  const auto plain = (dir_ / "plain.hex").wstring();
  struct Case {
    const char* name;
    std::wstring field;
    std::vector<std::wstring> boxes;
    bool imageZero;
  };
  const Case cases[] = {
      {"no file found at start", kNoFindHexFile, {L"No Find HexFile\uFF01"}, true},
      {"file deleted since", missing, {missing + L"  No Finded", L"HexToBin Error\uFF01"}, true},
      {"no signature", plain, {L"Hex File Error!"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MakeReady();
    std::memset(State().imageBuffer.get(), 0xAA, kImageSize);
    g_ProgressStep = 9;
    dialog_.boxes.clear();
    dialog_.field = c.field;
    controller_->OnStart();
    EXPECT_EQ(dialog_.boxes, c.boxes);
    const Strings log = log_.Take();
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(Strings(log.begin(), log.begin() + 4),
              (Strings{"disable", "range 0..17", "pos 0", "pos 0"}));
    EXPECT_EQ(g_ProgressStep.load(), 1);
    EXPECT_FALSE(outputs_->enabled_.load());
    EXPECT_EQ(g_ButtonFillColor.load(), kColorYellow);
    EXPECT_TRUE(State().deviceReady.load());
    EXPECT_FALSE(State().updateBusy.load());
    EXPECT_FALSE(running_.owns_lock());
    EXPECT_EQ(ImageAllZero(State().imageBuffer.get()), c.imageZero);
    // The image is free again for the next Start.
    std::unique_lock<std::mutex> free(State().imageMutex, std::try_to_lock);
    EXPECT_TRUE(free.owns_lock());
  }
}

TEST_F(ControllerTest, WithoutAnImageBufferTheStartIsRefused) {
  // The start-up's allocation failed: nothing is converted, nothing crashes.
  MakeReady();
  dialog_.field = GoodFile();
  auto image = std::move(State().imageBuffer);  // as when its allocation failed
  controller_->OnStart();
  State().imageBuffer = std::move(image);
  EXPECT_EQ(dialog_.boxes, std::vector<std::wstring>{L"HexToBin Error\uFF01"});
  EXPECT_FALSE(running_.owns_lock());
  EXPECT_FALSE(State().updateBusy.load());
}

TEST_F(ControllerTest, FieldTextIsComparedExactly) {
  MakeReady();
  dialog_.field = L"no find hexfile";
  controller_->OnStart();
  ASSERT_EQ(dialog_.boxes.size(), 2u);  // a path that does not open
  EXPECT_EQ(dialog_.boxes[1], L"HexToBin Error\uFF01");
}

TEST_F(ControllerTest, StartDuringARunLeavesTheRunAlone) {
  MakeRunning();
  std::memset(State().imageBuffer.get(), 0x5A, kImageSize);
  g_ProgressStep = 7;
  // A discovery that ended late enables the button during the run.
  EnableStartButton(true);
  log_.Take();
  dialog_.field = GoodFile();
  controller_->OnStart();
  EXPECT_EQ(log_.Take(), Strings{"disable"});
  EXPECT_EQ(g_ProgressStep.load(), 7);
  EXPECT_EQ(State().imageBuffer.get()[0], 0x5A);
  EXPECT_TRUE(State().updateBusy.load());
  EXPECT_TRUE(dialog_.boxes.empty());
}

TEST_F(ControllerTest, ClickWhileOwnBoxIsOpenDoesNothing) {
  MakeReady();
  const auto missing = (dir_ / "gone.hex").wstring();
  dialog_.field = missing;
  int nested = 0;
  dialog_.whileBoxOpen = [&] {
    if (nested++ == 0) controller_->OnStart();  // the conversion's own box holds the image
  };
  controller_->OnStart();
  EXPECT_EQ(dialog_.boxes.size(), 2u);
  EXPECT_FALSE(running_.owns_lock());
}

TEST_F(ControllerTest, RemovalWhileABoxIsOpenEndsInWaiting) {
  MakeReady();
  dialog_.field = kNoFindHexFile;
  dialog_.whileBoxOpen = [&] {
    controller_->OnDeviceEvent({DeviceEvent::Kind::Removal, true, kDataPath});
  };
  controller_->OnStart();
  EXPECT_FALSE(State().deviceReady.load());
  EXPECT_FALSE(State().updateBusy.load());
  EXPECT_EQ(g_ButtonFillColor.load(), kColorLightGrey);
  discoveries_ = 0;
  controller_->OnDeviceEvent({DeviceEvent::Kind::Arrival, true, {}});
  EXPECT_EQ(discoveries_, 1);
}

TEST_F(ControllerTest, SecondStartResetsTheBarFirst) {
  MakeFinished(kColorRed);
  controller_->OnDeviceEvent({DeviceEvent::Kind::Removal, true, kDataPath});
  MakeReady();
  g_ProgressStep = 18;
  outputs_->SetProgressPos(17);
  log_.Take();
  dialog_.field = GoodFile();
  controller_->OnStart();
  EXPECT_EQ(log_.Take(), (Strings{"disable", "range 0..17", "pos 0", "pos 0", "update"}));
}

TEST(DevicePathTest, ComparisonIgnoresLetterCaseOnly) {
  EXPECT_TRUE(SameDevicePath(L"\\\\?\\HID#VID_0603", L"\\\\?\\hid#vid_0603"));
  EXPECT_TRUE(SameDevicePath(L"", L""));
  EXPECT_FALSE(SameDevicePath(L"/dev/hidraw1", L"/dev/hidraw10"));
  EXPECT_FALSE(SameDevicePath(L"/dev/hidraw1", L"/dev/hidraw2"));
}

}  // namespace
}  // namespace kbt
