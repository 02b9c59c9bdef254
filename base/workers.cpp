#include "base/workers.h"

#include <windows.h>

#include <atomic>
#include <vector>

#include "base/handles.h"

namespace {

constexpr DWORD kTickMs = 100;

struct SharedJobs {
  std::size_t count;
  const std::function<void(std::size_t)>& job;
  std::atomic<std::size_t> next{0};
};

void TakeJobs(SharedJobs& jobs) {
  for (std::size_t index = jobs.next++; index < jobs.count; index = jobs.next++) jobs.job(index);
}

DWORD WINAPI Worker(void* shared) {
  TakeJobs(*static_cast<SharedJobs*>(shared));
  return 0;
}

}  // namespace

void RunOnWorkers(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& job,
                  const std::function<void()>& tick) {
  if (count == 0) return;
  SharedJobs jobs{count, job};
  std::vector<KernelHandle> threads;
  for (unsigned i = 0; i < workers && i < count && i < MAXIMUM_WAIT_OBJECTS; ++i) {
    KernelHandle thread(CreateThread(nullptr, 0, Worker, &jobs, 0, nullptr));
    if (!thread) break;
    threads.push_back(std::move(thread));
  }
  if (threads.empty()) TakeJobs(jobs);
  std::vector<HANDLE> waits;
  waits.reserve(threads.size());
  for (const KernelHandle& thread : threads) waits.push_back(thread.get());
  // One wait for all, woken to draw.
  while (!waits.empty() &&
         WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE, kTickMs) == WAIT_TIMEOUT) {
    if (tick) tick();
  }
  // Whatever that wait said, no thread may outlive the jobs it reads.
  for (HANDLE thread : waits) WaitForSingleObject(thread, INFINITE);
  if (tick) tick();
}

JobLine::JobLine() { thread_.reset(CreateThread(nullptr, 0, Run, this, 0, nullptr)); }

JobLine::~JobLine() {
  if (!thread_) return;
  AcquireSRWLockExclusive(&lock_);
  ending_ = true;
  WakeAllConditionVariable(&changed_);
  ReleaseSRWLockExclusive(&lock_);
  WaitForSingleObject(thread_.get(), INFINITE);
}

void JobLine::Post(std::function<void()> job) {
  if (!thread_) {
    job();
    return;
  }
  AcquireSRWLockExclusive(&lock_);
  jobs_.push_back(std::move(job));
  WakeAllConditionVariable(&changed_);
  ReleaseSRWLockExclusive(&lock_);
}

void JobLine::Drain() {
  AcquireSRWLockExclusive(&lock_);
  while (!jobs_.empty() || running_) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
  ReleaseSRWLockExclusive(&lock_);
}

unsigned long __stdcall JobLine::Run(void* self) {
  auto& line = *static_cast<JobLine*>(self);
  AcquireSRWLockExclusive(&line.lock_);
  for (;;) {
    while (line.jobs_.empty() && !line.ending_) SleepConditionVariableSRW(&line.changed_, &line.lock_, INFINITE, 0);
    if (line.jobs_.empty()) break;  // ending, and nothing left
    std::function<void()> job = std::move(line.jobs_.front());
    line.jobs_.pop_front();
    line.running_ = true;
    ReleaseSRWLockExclusive(&line.lock_);
    job();
    AcquireSRWLockExclusive(&line.lock_);
    line.running_ = false;
    WakeAllConditionVariable(&line.changed_);
  }
  ReleaseSRWLockExclusive(&line.lock_);
  return 0;
}
