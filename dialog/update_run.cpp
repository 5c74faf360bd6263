#include "dialog/update_run.h"

#include "device/discovery_rules.h"
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
  // Discovery records only the update-mode device's interfaces: opened as
  // such, a path that has passed to another device is refused.
  SessionInterfaces interfaces{paths.data, paths.command, {}, {}};
  for (const DevicePath& path : {paths.data, paths.command}) {
    HidInterfaceInfo listed;
    listed.path = path;
    listed.vendorId = kUpdateVendorId;
    listed.productId = kUpdateProductId;
    interfaces.listed.push_back(std::move(listed));
  }
  UpdateSession session(hid, std::move(interfaces), state.imageBuffer.get(), &sink,
                        state.counter.Source(), nullptr, state.sleep);
  return session.Run();
}

}  // namespace kbt
