// SPDX-License-Identifier: Apache-2.0
// Claims of jobs, by printer and job id.
#include "printerapp/job_claim.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

namespace tq33app {
namespace {

// Outcomes are kept for this many jobs, for threads that start late.
constexpr size_t kKeptOutcomes = 1024;

enum class State { Printing, Printed, Failed };

std::mutex gLock;
std::condition_variable gEnded;
std::map<std::pair<int, int>, State> gJobs;
std::map<int, std::unique_ptr<std::mutex>> gPrinters;  // each printer's turn
std::multiset<pappl_job_t*> gStarting;                 // a start per thread, not yet claimed
thread_local pappl_job_t* tStateChanged = nullptr;     // the job whose state this thread changed

// How long a close waits for started jobs to be claimed.
constexpr auto kStartWait = std::chrono::seconds(1);

}  // namespace

JobClaim::JobClaim(pappl_job_t* job)
    : printer_(papplPrinterGetID(papplJobGetPrinter(job))), job_(papplJobGetID(job)) {
  std::unique_lock<std::mutex> lock(gLock);
  // This thread's start is claimed; the job's other threads still hold closes back.
  if (const auto start = gStarting.find(job); start != gStarting.end()) {
    gStarting.erase(start);
    gEnded.notify_all();
  }
  const auto key = std::make_pair(printer_, job_);
  auto found = gJobs.find(key);
  if (found == gJobs.end()) {
    if (gJobs.size() >= kKeptOutcomes) {
      for (auto it = gJobs.begin(); it != gJobs.end(); ++it) {
        if (it->second != State::Printing) {
          gJobs.erase(it);
          break;
        }
      }
    }
    gJobs.emplace(key, State::Printing);
    first_ = true;
    std::unique_ptr<std::mutex>& printer = gPrinters[printer_];
    if (!printer) printer = std::make_unique<std::mutex>();
    turn_ = std::unique_lock<std::mutex>(*printer, std::defer_lock);
    lock.unlock();
    turn_.lock();
    return;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "The job is printing in another thread; waiting for it.");
  gEnded.wait(lock, [&] { return gJobs.count(key) == 0 || gJobs[key] != State::Printing; });
  outcome_ = gJobs.count(key) != 0 && gJobs[key] == State::Printed;
}

JobClaim::~JobClaim() {
  if (first_ && !finished_) Finish(false);
}

bool JobClaim::Finish(bool ok) {
  if (!first_ || finished_) return outcome_;
  finished_ = true;
  outcome_ = ok;
  {
    std::lock_guard<std::mutex> lock(gLock);
    gJobs[std::make_pair(printer_, job_)] = ok ? State::Printed : State::Failed;
  }
  turn_.unlock();
  gEnded.notify_all();
  return ok;
}

// Called with the framework's locks held: it asks the framework nothing.
void NoteJobEvent(pappl_job_t* job, pappl_event_t event) {
  if (job && (event & PAPPL_EVENT_JOB_STATE_CHANGED)) tStateChanged = job;
  if (!job && (event & PAPPL_EVENT_PRINTER_STATE_CHANGED) && tStateChanged) {
    std::lock_guard<std::mutex> lock(gLock);
    gStarting.insert(tStateChanged);
    tStateChanged = nullptr;
  }
  if (job && (event & PAPPL_EVENT_JOB_COMPLETED)) {
    std::lock_guard<std::mutex> lock(gLock);
    if (gStarting.erase(job)) gEnded.notify_all();
  }
}

void WaitForStartingJobs() {
  std::unique_lock<std::mutex> lock(gLock);
  gEnded.wait_for(lock, kStartWait, [] { return gStarting.empty(); });
}

}  // namespace tq33app
