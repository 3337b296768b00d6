// SPDX-License-Identifier: Apache-2.0
// A thread that waits for the interrupting signals, so that nothing runs in a signal
// handler: the driver, the host and the file system are used only from ordinary threads.
#include "cli/interrupts.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "cli/tool.h"
#include "host/host.h"

namespace tq33cli {
namespace {

std::atomic<bool> interrupted{false};

// The set of signals that interrupt a job.
sigset_t InterruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Waits for the signals: the first stops the job, the second the process.
void Watch(sigset_t signals) {
  int received = 0;
  while (sigwait(&signals, &received) == 0) {
    if (!interrupted.exchange(true)) {
      host::SetAbort(true);
      continue;
    }
    // Delivered again with its default action, which ends the process.
    std::signal(received, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    raise(received);
  }
}

}  // namespace

void WatchInterrupts() {
  static bool watching = false;
  if (watching) return;
  watching = true;
  sigset_t signals = InterruptSignals();
  // Blocked in every thread, so that only the watcher receives them.
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  std::thread(Watch, signals).detach();
}

bool Interrupted() { return interrupted.load(); }

void StopWhenInterrupted() {
  if (Interrupted()) Fail("interrupted");
}

}  // namespace tq33cli
