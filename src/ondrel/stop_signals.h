// SIGTERM, SIGINT and SIGHUP (a host quitting, Ctrl-C, a closed terminal) ask for a stop exactly
// as the stop line does. A second one ends the process at once, after writing the WAV file's size
// fields, so that what was recorded stays readable; once the outcome is being reported, none
// changes it.
#pragma once

#include <filesystem>
#include <memory>

#include "ondrel/stop_flag.h"

namespace ondrel {

// Blocks the three signals in the calling thread. Called first in main, before any thread starts,
// so that every thread inherits the mask and none is ever interrupted by them.
void blockStopSignals();

// Starts a detached thread that waits for the blocked signals: the first sets flag, the second
// writes the sizes of the WAV file at wavURL and ends the process by that signal, unless the
// outcome is settled.
void watchStopSignals(std::shared_ptr<StopFlag> flag, std::filesystem::path wavURL);

// For work that leaves the folder as it found it when cut short (a recovery): the first signal
// ends the process by that signal, unless the outcome is settled.
void endOnStopSignals();

// Called just before the session reports its outcome (done or an error): from then on a signal
// changes nothing. While a second signal is ending the process, it never returns.
void settleOutcome();

}  // namespace ondrel
