// Ctrl+C or a termination request while a verb runs: the waits and the
// sessions stop before their next report (the core watches the flag) and the
// verb returns, so that its files are finished or removed on the way out
// instead of the process dying with a temporary file left behind. A verb
// creates one scope first thing, before it creates any file.
#pragma once

#include <atomic>

namespace kbt::cli {

class InterruptScope {
 public:
  // What a second signal does: end the process at once (flash: a keyboard
  // that does not answer must not keep it), or nothing more (the read-back
  // verbs: their temporary files are removed on the way out).
  enum class Second { EndsProcess, Ignored };
  explicit InterruptScope(Second second);  // the flag clear, the handlers installed
  ~InterruptScope();                       // the previous handlers again
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

  static const std::atomic<bool>* Flag();
  static bool Interrupted() { return Flag()->load(); }
  static int ExitCode();  // 130 (SIGINT) or 143 (SIGTERM)

 private:
  void (*previousInt_)(int);
  void (*previousTerm_)(int);
};

}  // namespace kbt::cli
