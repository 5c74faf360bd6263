// How kbupdate talks to its user: every message goes to stderr with the
// verb's name in front ("kbupdate convert: ..."), one line per error, so that
// stdout carries only results (the image for `convert -`, JSON lines, the
// last PASS/FAIL line of `flash`). -q keeps everything but errors off stderr;
// -v adds detail.
#pragma once

#include <string>

namespace kbt::cli {

enum class Verbosity { Quiet, Normal, Verbose };

// Set once by main before the verb runs.
void SetConsole(const std::string& verb, Verbosity verbosity);
Verbosity CurrentVerbosity();

// "kbupdate VERB: text", always shown.
void Error(const std::string& text);
// Shown unless -q.
void Info(const std::string& text);
// Shown with -v only.
void Detail(const std::string& text);

// Whether stderr (2) or stdout (1) is a terminal: progress is then redrawn
// in place.
bool IsTerminal(int fd);
// The width of the terminal at `fd` in columns; 0 when it is none or says
// nothing.
int TerminalColumns(int fd);

// The first error of a write to stdout that a verb flushed itself; main
// reports it at the end (0: none).
void NoteStdoutError(int errnum);
int StdoutError();

// printf into a string. mingw-w64's C++ runtime formats as C99 does (%zu),
// which GCC checks as gnu_printf there.
#ifdef _WIN32
#define KB_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define KB_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#endif
std::string Format(const char* format, ...) KB_PRINTF_LIKE;
// The system's text for an errno value, for "cannot open X: <reason>".
std::string Reason(int errnum);

}  // namespace kbt::cli
