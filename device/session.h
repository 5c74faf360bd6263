// One physical keyboard, one session: the update protocol as operations on
// one keyboard's two interfaces, with everything it needs handed in (the
// HID layer, the paths, the image, where progress and notes go, where the
// update counter comes from, a cancel flag). Nothing here reads a
// program-wide variable, so any number of sessions run at once, one per
// keyboard, each on a thread of its own (session_runner.h).
//
// The session also says what its progress means: how many steps a run
// makes, where a step puts a bar and what it is doing, so that every front
// end shows the same (SessionProgress). The dialog binds one session to its
// DialogState (dialog/update_run.h).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device/hid.h"
#include "device/sleep.h"
#include "device/update_counter.h"

namespace kbt {

inline constexpr int kUpdateRunOk = 0;
inline constexpr int kUpdateRunFailed = 2;

// Where a session stands when it makes a Progress step.
enum class SessionStage {
  Begin,             // the Begin command went out
  Program,           // an image block was written
  Verify,            // an image block was read back
  InformationBlock,  // the information block was rewritten
  Finish,            // the Finish command went out
  Read,              // an image block was read (dump, verify without writing)
};

struct SessionProgress {
  SessionStage stage = SessionStage::Begin;
  int block = -1;   // 0..6 for Program, Verify and Read; -1 otherwise
  int attempt = 1;  // the pass attempt, from 1, for Program and Verify

  // Where the step puts a bar of kRunSteps (an update run) or kReadSteps (a
  // read-back): by stage, so that a repeated pass moves it back to its
  // stage, never past the end. From 1.
  int Position() const;
  // What the session is doing, for a line or a tile: "begin",
  // "program block 3", "verify pass 2 of 10, block 6", "read block 0".
  std::string StageText() const;
};

// Declared by the core, implemented by each front end: the dialog's status
// outputs, the command line's terminal or JSON lines, the station's tiles.
// Called on the session's thread.
class SessionSink {
 public:
  virtual ~SessionSink() = default;
  // One Progress step: in a run without repetitions kRunSteps of them, at
  // the places where the dialog's bar moves.
  virtual void Step(const SessionProgress& progress) = 0;
  // A failed step that decided something, with its context, as it happens
  // ("verify pass attempt 2, block 0: read-back differs at 0x0000 ...").
  virtual void Note(const std::string& line) = 0;
};

struct SessionInterfaces {
  DevicePath data;
  DevicePath command;
  std::string location;  // for the front ends' texts only
  // What the listing said of the interfaces (Keyboard::listed), where the
  // caller has it: the session opens a path found here with OpenListed, so
  // that a path which has come to name another device is refused.
  std::vector<HidInterfaceInfo> listed;
};

// What a read-back of one keyboard found (session_read.cpp).
struct ReadBack {
  std::vector<std::uint8_t> image;  // kImageSize bytes once the image was read
  std::array<std::uint8_t, 8> informationBlock{};
  bool imageRead = false;
  bool informationBlockRead = false;
  bool finished = false;  // the keyboard took the Finish command
};

class UpdateSession {
 public:
  // Progress steps of an update run without repetitions: Begin, seven
  // blocks written, seven read back, the information block, Finish.
  static constexpr int kRunSteps = 17;
  // Progress steps of a read-back: the seven blocks read.
  static constexpr int kReadSteps = 7;

  // `image` holds kImageSize bytes, or is null (the run then fails after the
  // Begin command, as a run without an image buffer does); it is only read.
  // `sink` may be null. `cancel`, when set by another thread, stops the
  // session before its next report: nothing more is sent. The protocol's
  // waits go through `sleep` (empty: real ones).
  UpdateSession(HidBackend& hid, SessionInterfaces interfaces, const std::uint8_t* image,
                SessionSink* sink, CounterSource counter, const std::atomic<bool>* cancel = nullptr,
                Sleeper sleep = {});

  // The Update run: 0 when the whole sequence succeeded, 2 otherwise.
  int Run();

  // The read path: reads the whole image and the information block, then
  // sends Finish so that the keyboard restarts into its firmware (also after
  // a failed read: nothing was written, the keyboard holds what it held).
  // Never sends Begin, a write window, a write or Prepare. 0 when everything
  // was read and the Finish command taken, 2 otherwise; `out` says which
  // parts were read. Needs no image and no counter.
  int ReadBackRun(ReadBack& out);

  // The counter value written into the information block, once taken.
  std::optional<std::uint16_t> CounterWritten() const { return counterWritten_; }
  // True once the cancel flag stopped the session.
  bool Cancelled() const { return cancelled_; }
  const SessionInterfaces& Interfaces() const { return interfaces_; }

 private:
  // The passes on open interfaces, 1 for success and 0 for failure.
  // `command` is null when the Command interface did not open; every report
  // to it then fails.
  int ProgramPass(HidDevice& data, HidDevice* command);
  int VerifyPass(HidDevice& data, HidDevice* command);
  // The result of its last send.
  bool InformationBlockRewrite(HidDevice* command);
  // One pass over the image read window and its seven Data reads into
  // `image` (kImageSize bytes), 1 for success and 0 for failure.
  int ReadPass(HidDevice& data, HidDevice* command, std::uint8_t* image);
  // The information block's read window and two Command reads.
  bool ReadInformationBlock(HidDevice* command, std::array<std::uint8_t, 8>& block);

  // Reports go through these: a cancelled session sends nothing more, and
  // every failure carries its context into the notes (`what` empty: the
  // step's result is ignored and says nothing).
  bool Send(HidDevice* device, std::span<const std::uint8_t> report, const std::string& what);
  bool Get(HidDevice* device, std::span<std::uint8_t> report, const std::string& what);
  bool StopRequested();
  // Opens the `name` ("Data", "Command") interface at `path`; a failure is
  // noted. An empty path names no interface and is never handed to the
  // platform.
  bool OpenInterface(const DevicePath& path, const std::string& name,
                     std::unique_ptr<HidDevice>& out);
  // Opens `path` through its listing when the interfaces carry one.
  HidResult OpenPath(const DevicePath& path, std::unique_ptr<HidDevice>& out);
  void Step(SessionStage stage, int block = -1);
  void Note(const std::string& line);

  HidBackend& hid_;
  SessionInterfaces interfaces_;
  const std::uint8_t* image_;
  SessionSink* sink_;
  CounterSource counter_;
  const std::atomic<bool>* cancel_;
  Sleeper sleep_;
  std::string context_;  // "program pass attempt 2" while a pass runs
  int attempt_ = 1;
  bool cancelled_ = false;
  std::optional<std::uint16_t> counterWritten_;
};

// A sink that keeps the notes and drops the steps (tests, callers that want
// only the reasons).
class NoteCollector : public SessionSink {
 public:
  void Step(const SessionProgress&) override {}
  void Note(const std::string& line) override { notes.push_back(line); }
  std::vector<std::string> notes;
};

}  // namespace kbt
