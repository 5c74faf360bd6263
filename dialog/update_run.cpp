#include "dialog/update_run.h"

#include "device/session.h"

namespace kbt {
namespace {

// The dialog's progress bar and the run's notes.
class DialogSessionSink final : public SessionSink {
 public:
  DialogSessionSink(DialogSink& dialog, RunNotes* notes) : dialog_(dialog), notes_(notes) {}
  void Step(const SessionProgress&) override { dialog_.ProgressStep(); }
  void Note(const std::string& line) override {
    if (notes_) notes_->push_back(line);
  }

 private:
  DialogSink& dialog_;
  RunNotes* notes_;
};

}  // namespace

int UpdateRun(DialogState& state, HidBackend& hid, RunNotes* notes) {
  const DevicePaths paths = state.ReadDevicePaths();
  DialogSessionSink sink(*state.sink, notes);
  UpdateSession session(hid, {paths.data, paths.command, {}}, state.imageBuffer.get(), &sink,
                        state.counter.Source(), nullptr, state.sleep);
  return session.Run();
}

}  // namespace kbt
