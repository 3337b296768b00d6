// SPDX-License-Identifier: Apache-2.0
// One printing of each job, and one job at a time on each printer. The framework starts
// a printer's next pending job from every thread that asks (each client's request, and
// the end of the job before), and a job counts as pending until its own thread has
// begun: under requests that come together, it starts one job in several threads, and
// several jobs of one printer at once. The first thread to claim a job prints it, after
// the printer's other jobs (their bytes never meet on the device); any other thread of
// the same job waits for that printing to end and takes its outcome, so that the job
// prints once and every thread's end reports the same state.
//
// And one guard for the framework's file devices: it closes a file device at the end of
// each job, after it has let the next job begin, and a job whose start it has just ended
// finds no device and is reported completed without printing (and its document removed
// under the thread that prints it). Each start (seen in the framework's events, one per
// thread) holds such a close back until that thread has claimed the job.
#pragma once

#include <pappl/pappl.h>

#include <mutex>

namespace tq33app {

class JobClaim {
 public:
  // Claims the job and waits for the printer's turn; for a thread that is not the first,
  // waits until the first has ended instead.
  explicit JobClaim(pappl_job_t* job);
  // Ends a first claim that recorded no outcome as failed.
  ~JobClaim();
  JobClaim(const JobClaim&) = delete;
  JobClaim& operator=(const JobClaim&) = delete;

  // Whether this thread prints the job.
  bool first() const { return first_; }
  // What the first thread's printing gave (for one that is not the first).
  bool outcome() const { return outcome_; }
  // Records the first thread's outcome, ends the printer's turn and lets the others go
  // on; returns the outcome (for a thread that is not the first, the first's).
  bool Finish(bool ok);

 private:
  int printer_ = 0;
  int job_ = 0;
  bool first_ = false;
  bool finished_ = false;
  bool outcome_ = false;
  std::unique_lock<std::mutex> turn_;  // the printer's, while the first thread prints
};

// The framework's events that tell a job's start: the job's state changes, then the
// printer's, in the thread that starts it; a job's end.
void NoteJobEvent(pappl_job_t* job, pappl_event_t event);

// Waits, for a second at most, until every job the framework has started is claimed.
void WaitForStartingJobs();

}  // namespace tq33app
