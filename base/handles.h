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
// Processes and events are closed the same way.
using KernelHandle = FileHandle;

struct FindCloser {
  void operator()(HANDLE search) const;
};
using FindHandle = std::unique_ptr<void, FindCloser>;
[[nodiscard]] FindHandle OwnFind(HANDLE search);

// WinHTTP (HINTERNET) and BCrypt handles, closed by the call of their kind; the calls are made
// in handles.cpp, so this header needs neither API's header.
enum class SystemHandleKind { Internet, Provider, Hash, Key };
void CloseSystemHandle(SystemHandleKind kind, void* handle);
template <SystemHandleKind kind>
struct SystemHandleCloser {
  void operator()(void* handle) const { CloseSystemHandle(kind, handle); }
};
// Session, connection and request.
using InternetHandle = std::unique_ptr<void, SystemHandleCloser<SystemHandleKind::Internet>>;
// Algorithm provider, hash object and key.
using ProviderHandle = std::unique_ptr<void, SystemHandleCloser<SystemHandleKind::Provider>>;
using HashHandle = std::unique_ptr<void, SystemHandleCloser<SystemHandleKind::Hash>>;
using KeyHandle = std::unique_ptr<void, SystemHandleCloser<SystemHandleKind::Key>>;

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
