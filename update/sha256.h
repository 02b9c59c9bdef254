#pragma once
// SHA-256 through the system's BCrypt: of a file, of bytes in memory, and of a file's bytes fed
// piece by piece as they are written.
#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/handles.h"
#include "base/workers.h"

using Sha256Digest = std::array<unsigned char, 32>;

// 64 lower-case hex digits of the file's SHA-256, or empty when it cannot be read whole.
[[nodiscard]] std::string HashFileSha256(const std::wstring& path);

// The SHA-256 of bytes in memory; none when the system's hashing fails.
[[nodiscard]] std::optional<Sha256Digest> HashBytesSha256(std::string_view bytes);

// A digest fed piece by piece. Empty (no hash) until started, and after a failure.
struct Sha256Stream {
  ProviderHandle provider;
  HashHandle hash;  // declared after the provider, so it is destroyed first
};
// Starts a digest, or starts it over; false when the system's hashing cannot be had.
bool StartSha256(Sha256Stream& stream);
// Adds bytes; a failure empties the stream, so that it gives no digest at all.
void AddToSha256(Sha256Stream& stream, const void* data, std::size_t bytes);
// 64 lower-case hex digits of everything added, or empty when the stream failed or was never
// started. Ends the stream.
[[nodiscard]] std::string FinishSha256(Sha256Stream& stream);

// A digest that may be taken on a thread of its own, so that the thread writing a large file
// never waits for the hashing: pieces are copied into a few buffers, which that thread empties
// in order. Small files are hashed as they come, where a thread would cost more.
class Sha256Behind {
 public:
  Sha256Behind() = default;
  Sha256Behind(const Sha256Behind&) = delete;
  Sha256Behind& operator=(const Sha256Behind&) = delete;
  ~Sha256Behind();
  // Starts the digest anew, on a thread of its own when behind; false when the system's hashing
  // cannot be had.
  bool Start(bool behind);
  void Add(const void* data, std::size_t bytes);
  // As FinishSha256, once every piece added is in.
  [[nodiscard]] std::string Finish();

 private:
  void QueueHeldSlot();
  static constexpr std::size_t kSlots = 4;
  static constexpr std::size_t kSlotBytes = 1 << 18;
  Sha256Stream stream_;
  std::vector<std::vector<unsigned char>> slots_;
  std::array<std::size_t, kSlots> filled_{};
  std::size_t next_ = 0;              // the slot pieces go to while it fills
  bool holding_ = false;              // that slot is taken (a free one was waited for)
  KernelHandle freeSlots_;            // a semaphore: the slots not queued for hashing
  std::unique_ptr<JobLine> hashing_;  // hashes the queued slots in order; none: as they come
};
