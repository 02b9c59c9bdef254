#pragma once
// A few threads for independent pieces of work (downloads, hashing), taken in order.
#include <cstddef>
#include <deque>
#include <functional>

#include "base/handles.h"

// Runs job(0) to job(count - 1) on up to `workers` threads of their own, each taking the next
// index in order, and calls tick() on the calling thread about every 100 ms until all are
// done (and once at the end). Jobs must not print: only the calling thread draws. Where no
// thread can be made, the calling thread does the rest itself.
void RunOnWorkers(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& job,
                  const std::function<void()>& tick = {});

// A thread of its own that runs the jobs posted to it one after another, in the order posted:
// work that must not hold up the workers' next requests (flushing a file, moving it into
// place). Where no thread can be made, Post runs the job itself.
class JobLine {
 public:
  JobLine();
  JobLine(const JobLine&) = delete;
  JobLine& operator=(const JobLine&) = delete;
  ~JobLine();  // runs what was posted, then ends the thread
  void Post(std::function<void()> job);
  // Waits until every job posted so far has run.
  void Drain();

 private:
  static unsigned long __stdcall Run(void* self);
  SRWLOCK lock_ = SRWLOCK_INIT;
  CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
  std::deque<std::function<void()>> jobs_;
  bool running_ = false;  // a job taken off the queue is under way
  bool ending_ = false;
  KernelHandle thread_;
};
