#include "update/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

constexpr DWORD kHashReadBytes = 1u << 20;
constexpr ULONG kDigestBytes = 32;

std::optional<Sha256Digest> FinishDigest(Sha256Stream& stream) {
  if (!stream.hash) return std::nullopt;
  Sha256Digest digest;
  static_assert(sizeof(digest) == kDigestBytes);
  const bool finished = BCRYPT_SUCCESS(BCryptFinishHash(stream.hash.get(), digest.data(), kDigestBytes, 0));
  stream.hash.reset();
  if (!finished) return std::nullopt;
  return digest;
}

}  // namespace

bool StartSha256(Sha256Stream& stream) {
  stream.hash.reset();
  if (!stream.provider) {
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return false;
    stream.provider.reset(provider);
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!BCRYPT_SUCCESS(BCryptCreateHash(stream.provider.get(), &hash, nullptr, 0, nullptr, 0, 0))) return false;
  stream.hash.reset(hash);
  return true;
}

void AddToSha256(Sha256Stream& stream, const void* data, std::size_t bytes) {
  // Each call takes at most a ULONG of bytes.
  constexpr std::size_t kMaxPiece = std::numeric_limits<ULONG>::max();
  const auto* at = static_cast<const unsigned char*>(data);
  while (stream.hash && bytes > 0) {
    const std::size_t piece = bytes < kMaxPiece ? bytes : kMaxPiece;
    if (!BCRYPT_SUCCESS(BCryptHashData(stream.hash.get(), const_cast<PUCHAR>(at), static_cast<ULONG>(piece), 0))) {
      stream.hash.reset();
    }
    at += piece;
    bytes -= piece;
  }
}

std::string FinishSha256(Sha256Stream& stream) {
  const std::optional<Sha256Digest> digest = FinishDigest(stream);
  if (!digest) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::size_t{2} * kDigestBytes);
  for (const unsigned char value : *digest) {
    text.push_back(kHex[value >> 4]);
    text.push_back(kHex[value & 0x0F]);
  }
  return text;
}

std::string HashFileSha256(const std::wstring& path) {
  // Others may read the file meanwhile, but not change it under us.
  const FileHandle file =
      OwnFile(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  Sha256Stream stream;
  if (!StartSha256(stream)) return {};
  // The call's own buffer, whatever the file's size: hashing on several threads shares nothing.
  std::vector<unsigned char> buffer(kHashReadBytes);
  for (;;) {
    DWORD read = 0;
    // A read that fails part-way would give the digest of a prefix: that is no digest of the file.
    if (!ReadFile(file.get(), buffer.data(), kHashReadBytes, &read, nullptr)) return {};
    if (read == 0) return FinishSha256(stream);
    AddToSha256(stream, buffer.data(), read);
  }
}

std::optional<Sha256Digest> HashBytesSha256(std::string_view bytes) {
  Sha256Stream stream;
  if (!StartSha256(stream)) return std::nullopt;
  AddToSha256(stream, bytes.data(), bytes.size());
  return FinishDigest(stream);
}

Sha256Behind::~Sha256Behind() {
  // The line's jobs read the slots and the stream: it ends before they go.
  hashing_.reset();
}

bool Sha256Behind::Start(bool behind) {
  if (hashing_) {
    QueueHeldSlot();
    hashing_->Drain();
  }
  if (!StartSha256(stream_)) return false;
  if (behind && !hashing_) {
    freeSlots_.reset(CreateSemaphoreW(nullptr, kSlots, kSlots, nullptr));
    if (freeSlots_) {
      slots_.assign(kSlots, std::vector<unsigned char>(kSlotBytes));
      hashing_ = std::make_unique<JobLine>();
    }
  } else if (!behind) {
    hashing_.reset();  // no thread to be had, or none wanted: hashed as it comes
  }
  return true;
}

void Sha256Behind::Add(const void* data, std::size_t bytes) {
  if (!hashing_) {
    AddToSha256(stream_, data, bytes);
    return;
  }
  // Pieces are gathered into whole slots: the fewer hand-overs, the fewer waits on either side.
  const auto* at = static_cast<const unsigned char*>(data);
  while (bytes > 0) {
    if (!holding_) {
      // Slots are hashed in the order they were queued, so the one freed is the next one.
      WaitForSingleObject(freeSlots_.get(), INFINITE);
      holding_ = true;
      filled_[next_] = 0;
    }
    std::vector<unsigned char>& slot = slots_[next_];
    const std::size_t piece = std::min(bytes, slot.size() - filled_[next_]);
    std::copy(at, at + piece, slot.begin() + static_cast<std::ptrdiff_t>(filled_[next_]));
    filled_[next_] += piece;
    at += piece;
    bytes -= piece;
    if (filled_[next_] == slot.size()) QueueHeldSlot();
  }
}

void Sha256Behind::QueueHeldSlot() {
  if (!holding_) return;
  holding_ = false;
  const std::size_t slot = next_;
  next_ = (next_ + 1) % kSlots;
  hashing_->Post([this, slot] {
    AddToSha256(stream_, slots_[slot].data(), filled_[slot]);
    ReleaseSemaphore(freeSlots_.get(), 1, nullptr);
  });
}

std::string Sha256Behind::Finish() {
  if (hashing_) {
    QueueHeldSlot();
    hashing_->Drain();
  }
  return FinishSha256(stream_);
}
