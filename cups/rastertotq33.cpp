// rastertotq33: the CUPS filter of TQ-33 queues.
//
//   rastertotq33 job-id user title copies options [file]
//
// Reads 8-bit gray CUPS raster pages from the file or standard input, prints them through
// the TQ-33 driver and writes the printer stream to standard output. Messages for the
// scheduler go to standard error. SIGTERM cancels the job: the page being read is
// dropped, a page being converted is abandoned at the driver's next abort check, and the
// document is ended so that the printer is left ready.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cups/filter_job.h"
#include "host/host.h"

namespace {

std::atomic<bool> gCancelled{false};

// Waits for SIGTERM on a thread of its own, so that the cancellation can take the host's
// locks, which a signal handler must not.
void* WaitForCancel(void* signals) {
  int received = 0;
  if (sigwait(static_cast<sigset_t*>(signals), &received) == 0) {
    gCancelled.store(true);
    host::SetAbort(true);
  }
  return nullptr;
}

// Starts the watcher with SIGTERM blocked in every thread. FALSE when it cannot.
bool WatchForCancel() {
  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, WaitForCancel, &signals) != 0) return false;
  pthread_detach(thread);
  return true;
}

// An environment variable, empty when unset.
std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

// The filter: arguments, signals, the input, then the job. Exit status 1 on failure.
int main(int argc, char** argv) {
  if (argc != 6 && argc != 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return tq33cups::kFilterFailed;
  }
  // A closed output is a failed write, not a fatal signal.
  signal(SIGPIPE, SIG_IGN);
  if (!WatchForCancel()) {
    std::fprintf(stderr, "ERROR: Cannot watch for the job's cancellation\n");
    return tq33cups::kFilterFailed;
  }

  tq33cups::FilterArguments arguments;
  arguments.jobId = argv[1];
  arguments.user = argv[2];
  arguments.title = argv[3];
  arguments.copies = argv[4];
  arguments.options = argv[5];
  arguments.ppdPath = Environment("PPD");
  arguments.modelDataFile = Environment("TQ33_MODEL_DATA");
  arguments.mediaFile = Environment("TQ33_MEDIA_FILE");

  int input = STDIN_FILENO;
  if (argc == 7) {
    input = open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      std::fprintf(stderr, "ERROR: Cannot open the print file %s: %s\n", argv[6], std::strerror(errno));
      return tq33cups::kFilterFailed;
    }
  }
  const int status = tq33cups::RunFilterJob(arguments, input, STDOUT_FILENO, stderr, gCancelled);
  if (input != STDIN_FILENO) close(input);
  return status;
}
