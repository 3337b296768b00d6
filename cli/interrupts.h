// SPDX-License-Identifier: Apache-2.0
// Interruption of a running job. Once a command starts a print or lays something out (an
// output file, Wine's job folder), the first SIGINT, SIGTERM or SIGHUP asks the job to stop:
// the engine's abort check answers TRUE from then on, so that the driver abandons the page
// it is converting, and the job ends through its ordinary failure path, which removes the
// job folder and the unfinished output. A second signal ends the process. Before that, and
// in commands that only report, the signals keep their default action: the watcher's
// thread costs more than the rest of a short command's start on some machines.
#pragma once

namespace tq33cli {

// Starts watching for the signals, the first time it is called; call it before any other
// thread exists.
void WatchInterrupts();

// True once a signal asked the job to stop.
bool Interrupted();

// Throws "interrupted" (status 1) when a signal asked the job to stop.
void StopWhenInterrupted();

}  // namespace tq33cli
