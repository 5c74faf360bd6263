#include "device/update_run.h"

#include "device/device_state.h"
#include "device/dialog_sink.h"
#include "device/empty_hid.h"
#include "device/workers.h"
#include "image/firmware_image.h"

namespace kbt {
namespace {

// The dialog's progress bar and the run's notes.
class DialogSessionSink final : public SessionSink {
 public:
  explicit DialogSessionSink(RunNotes* notes) : notes_(notes) {}
  void Step(const SessionProgress&) override { CurrentDialogSink()->ProgressStep(); }
  void Note(const std::string& line) override {
    if (notes_) notes_->push_back(line);
  }

 private:
  RunNotes* notes_;
};

// A session over the program-wide image for the passes alone: it opens
// nothing itself.
UpdateSession DialogSession(HidBackend& hid, DialogSessionSink& sink) {
  return UpdateSession(hid, {}, g_ImageBuffer, &sink, ProgramUpdateCounter());
}

}  // namespace

CounterSource ProgramUpdateCounter() {
  return [] { return g_UpdateCounter.fetch_add(1); };
}

int UpdateRun(HidBackend& hid, RunNotes* notes) {
  const DevicePaths paths = ReadDevicePaths();
  DialogSessionSink sink(notes);
  UpdateSession session(hid, {paths.data, paths.command, {}}, g_ImageBuffer, &sink,
                        ProgramUpdateCounter());
  return session.Run();
}

int UpdateRun(HidBackend& hid) {
  return UpdateRun(hid, nullptr);
}

int ProgramPass(HidDevice& data, HidDevice* command, RunNotes* notes) {
  EmptyHidBackend none;
  DialogSessionSink sink(notes);
  return DialogSession(none, sink).ProgramPass(data, command);
}

int VerifyPass(HidDevice& data, HidDevice* command, RunNotes* notes) {
  EmptyHidBackend none;
  DialogSessionSink sink(notes);
  return DialogSession(none, sink).VerifyPass(data, command);
}

bool InformationBlockRewrite(HidDevice* command, RunNotes* notes) {
  EmptyHidBackend none;
  DialogSessionSink sink(notes);
  return DialogSession(none, sink).InformationBlockRewrite(command);
}

}  // namespace kbt
