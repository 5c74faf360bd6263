// Runs several sessions at once, one worker thread each, and waits for all
// of them: the waits of one keyboard's run (2 s after Begin, the block
// pauses) overlap with the others', so eight keyboards take about as long
// as one.
#pragma once

#include <functional>
#include <vector>

namespace kbt {

// Starts every job on a thread of its own and returns when all have
// returned. Threads stay joinable until then (under winpthreads a thread
// detached at its start was seen never to run). A job whose thread cannot
// be started runs on the calling thread after the others have started.
void RunConcurrently(std::vector<std::function<void()>> jobs);

}  // namespace kbt
