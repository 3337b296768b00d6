// SPDX-License-Identifier: Apache-2.0
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
#include <exception>
#include <new>

#include "cups/filter_job.h"
#include "host/host.h"

namespace {

std::atomic<bool> gCancelled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
// The handler's word to the thread that passes the cancellation on to the host.
int gWake[2] = {-1, -1};

// Runs on the main thread, the only one that takes SIGTERM: the flag is set before that
// thread can see the end of the input that a cancellation brings, so a cancelled job is
// never reported as truncated raster.
extern "C" void OnTerminate(int) {
  const int saved = errno;
  gCancelled.store(true);
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(gWake[1], &byte, 1);
  errno = saved;
}

// Passes the cancellation on to the host on a thread of its own, since setting the abort
// takes the host's locks, which a signal handler must not.
void* PassOnCancel(void*) {
  char byte = 0;
  ssize_t got = 0;
  while ((got = read(gWake[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  if (got == 1) host::SetAbort(true);
  return nullptr;
}

// Starts the thread with SIGTERM blocked in it, then catches SIGTERM. FALSE when it cannot.
bool WatchForCancel() {
  if (pipe2(gWake, O_CLOEXEC) != 0) return false;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return false;
  pthread_t thread;
  const bool started = pthread_create(&thread, nullptr, PassOnCancel, nullptr) == 0;
  if (started) pthread_detach(thread);
  struct sigaction action = {};
  action.sa_handler = OnTerminate;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  const bool caught = started && sigaction(SIGTERM, &action, nullptr) == 0;
  // Unblocked again either way: a filter that cannot cancel cleanly still stops.
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  return caught;
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
  // The job catches nothing it throws: running out of memory fails it in words, as any
  // other failure does, rather than by a signal.
  int status = tq33cups::kFilterFailed;
  try {
    status = tq33cups::RunFilterJob(arguments, input, STDOUT_FILENO, stderr, gCancelled);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ERROR: Out of memory\n");
  } catch (const std::exception& error) {
    std::fprintf(stderr, "ERROR: %s\n", error.what());
  }
  if (input != STDIN_FILENO) close(input);
  return status;
}
