// Prints how long the dialog takes from the start of main to a shown window,
// and what it costs while it waits for a device: CPU time and event-loop
// wake-ups over a few idle seconds. The dialog has no timer of its own, so
// idle means asleep; a device event is what wakes it, and the time from an
// event reported on another thread to its handling is printed too.
//
//   bench_dialog [idle seconds, default 3]
// Runs on the offscreen platform when no display is set.
#include <sys/resource.h>

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "device/empty_hid.h"
#include "device/update_counter.h"
#include "ui/qt/main_dialog.h"

namespace {

using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

using NoHid = kbt::EmptyHidBackend;

// Runs the event loop for `ms` milliseconds (one timer of our own).
void RunFor(int ms) {
  QTimer::singleShot(ms, Qt::PreciseTimer, qApp, &QCoreApplication::quit);
  QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  const Clock::time_point start = Clock::now();
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  const int idleSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

  QApplication app(argc, argv);
  NoHid hid;
  int discoveries = 0;
  kbt::ControllerWorkers workers{
      [&](const std::shared_ptr<kbt::DialogState>&, kbt::HidBackend&) { ++discoveries; },
      [](const std::shared_ptr<kbt::DialogState>&, kbt::HidBackend&, std::unique_lock<std::mutex>) {
      }};
  kbt::DeviceEventSink sink;
  kbt::UpdateCounter counter;
  auto* dialog = new kbt::MainDialog(
      hid, counter, [&](kbt::DeviceEventSink s) { sink = std::move(s); }, workers);
  dialog->Initialize();
  dialog->show();
  while (!dialog->windowHandle() || !dialog->windowHandle()->isExposed())
    QApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  QApplication::processEvents();
  const double startupMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  std::printf("platform                      %s\n", qPrintable(QApplication::platformName()));
  std::printf("start-up to a shown window    %.1f ms (from main)\n", startupMs);

  // Settle, then count.
  RunFor(300);
  std::atomic<int> wakeups{0};
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                   [&] { ++wakeups; });
  const double cpu0 = CpuSeconds();
  const Clock::time_point idle0 = Clock::now();
  RunFor(idleSeconds * 1000);
  const double wall = std::chrono::duration<double>(Clock::now() - idle0).count();
  const double cpu = CpuSeconds() - cpu0;
  std::printf(
      "idle, waiting for a device    %.2f s: CPU %.3f ms (%.3f %%), %d event-loop wake-ups\n", wall,
      cpu * 1000, 100.0 * cpu / wall, wakeups.load() - 1);

  // A device event from another thread wakes the loop and is handled there.
  constexpr int kEvents = 50;
  double totalUs = 0;
  for (int i = 0; i < kEvents; ++i) {
    const int before = discoveries;
    Clock::time_point sent;
    std::thread([&] {
      sent = Clock::now();
      sink({kbt::DeviceEvent::Kind::Arrival, true, {}});
    }).join();
    while (discoveries == before) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    totalUs += std::chrono::duration<double, std::micro>(Clock::now() - sent).count();
  }
  std::printf("device event to its handling  %.1f us on average over %d arrivals\n",
              totalUs / kEvents, kEvents);
  std::fflush(stdout);
  std::_Exit(0);
}
