#pragma once
// One HTTPS GET of the update server, into memory or into a file.
#include <cstdint>
#include <string>

// Status of the last response, 0 when none (or only a broken one) was obtained.
extern std::int32_t LastHttpStatus;

// True only for a 200 whose whole body arrived and was stored: a body that breaks off, falls
// short of its announced length, or announces or brings more than maxBodyBytes fails with
// LastHttpStatus 0. body and file: exactly one is given. In file mode every written chunk
// advances the progress line, and the file is flushed to disk before a true result.
[[nodiscard]] bool DownloadToFile(const std::wstring& path, std::string* body, const std::wstring* file,
                                  std::uint64_t maxBodyBytes);
