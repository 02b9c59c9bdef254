#pragma once
// Owners of the Win32 handles the launcher opens, one deleter per kind, so every path closes
// what it opened. An owner is empty for "no handle": Own* turn a failure value (NULL, or
// INVALID_HANDLE_VALUE where the API uses it) into an empty owner.
#include <windows.h>
#include <objbase.h>

#include <memory>

struct FileCloser {
  void operator()(HANDLE file) const;
};
using FileHandle = std::unique_ptr<void, FileCloser>;
[[nodiscard]] FileHandle OwnFile(HANDLE file);

struct FindCloser {
  void operator()(HANDLE search) const;
};
using FindHandle = std::unique_ptr<void, FindCloser>;
[[nodiscard]] FindHandle OwnFind(HANDLE search);

// WinHTTP session, connection and request handles (HINTERNET).
struct InternetCloser {
  void operator()(void* internet) const;
};
using InternetHandle = std::unique_ptr<void, InternetCloser>;

// BCrypt algorithm provider, hash object and key.
struct ProviderCloser {
  void operator()(void* provider) const;
};
using ProviderHandle = std::unique_ptr<void, ProviderCloser>;
struct HashDestroyer {
  void operator()(void* hash) const;
};
using HashHandle = std::unique_ptr<void, HashDestroyer>;
struct KeyDestroyer {
  void operator()(void* key) const;
};
using KeyHandle = std::unique_ptr<void, KeyDestroyer>;

// Memory the system allocated with LocalAlloc (CommandLineToArgvW's array).
struct LocalFreer {
  void operator()(void* block) const;
};

// A COM interface, released once.
struct ComRelease {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComRelease>;

// COM on this thread for the scope's lifetime; uninitialised only if this call initialised it.
class ComScope {
 public:
  ComScope() : result_(CoInitialize(nullptr)) {}
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
  ~ComScope() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }

 private:
  HRESULT result_;
};
