#pragma once
// A few threads for independent pieces of work (downloads, hashing), taken in order.
#include <cstddef>
#include <functional>

// Runs job(0) to job(count - 1) on up to `workers` threads of their own, each taking the next
// index in order, and calls tick() on the calling thread about every 100 ms until all are
// done (and once at the end). Jobs must not print: only the calling thread draws. Where no
// thread can be made, the calling thread does the rest itself.
void RunOnWorkers(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& job,
                  const std::function<void()>& tick = {});
