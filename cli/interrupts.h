// SPDX-License-Identifier: Apache-2.0
// Interruption of a running job. The first SIGINT, SIGTERM or SIGHUP asks the job to stop:
// the engine's abort check answers TRUE from then on, so that the driver abandons the page
// it is converting, and the job ends through its ordinary failure path, which removes the
// temporary installation and the unfinished output. A second signal ends the process.
#pragma once

namespace tq33cli {

// Starts watching for the signals; call once, before any other thread exists.
void WatchInterrupts();

// True once a signal asked the job to stop.
bool Interrupted();

// Throws "interrupted" (status 1) when a signal asked the job to stop.
void StopWhenInterrupted();

}  // namespace tq33cli
