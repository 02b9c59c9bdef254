// Reads a shell link back with IShellLinkW + IPersistFile::Load and prints, as one UTF-8 JSON
// object on standard output: target, working folder, icon location and index, description and
// arguments. Exit code 0, or 2 when the file cannot be loaded as a shell link.
// Usage: read_shortcut.exe <file.lnk>
#include "helper_text.h"
#include "helper_win.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace {

struct ComReleaser {
  void operator()(IUnknown* object) const {
    if (object != nullptr) {
      object->Release();
    }
  }
};
template <typename T>
using ComPtr = std::unique_ptr<T, ComReleaser>;

struct ComScope {
  ComScope() { CoInitialize(nullptr); }
  ~ComScope() { CoUninitialize(); }
  ComScope(const ComScope&) = delete;
  ComScope& operator=(const ComScope&) = delete;
};

constexpr int kTextUnits = 1024;

int ReadShortcut(const std::wstring& path) {
  IShellLinkW* rawLink = nullptr;
  if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                              reinterpret_cast<void**>(&rawLink)))) {
    return 3;
  }
  ComPtr<IShellLinkW> link(rawLink);
  IPersistFile* rawFile = nullptr;
  if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&rawFile)))) {
    return 3;
  }
  ComPtr<IPersistFile> file(rawFile);
  if (FAILED(file->Load(path.c_str(), STGM_READ))) {
    return 2;
  }
  std::wstring target(kTextUnits, L'\0');
  std::wstring folder(kTextUnits, L'\0');
  std::wstring icon(kTextUnits, L'\0');
  std::wstring description(kTextUnits, L'\0');
  std::wstring arguments(kTextUnits, L'\0');
  int iconIndex = -1;
  // SLGP_RAWPATH: the target as stored, not resolved against the file system.
  link->GetPath(target.data(), kTextUnits, nullptr, SLGP_RAWPATH);
  link->GetWorkingDirectory(folder.data(), kTextUnits);
  link->GetIconLocation(icon.data(), kTextUnits, &iconIndex);
  link->GetDescription(description.data(), kTextUnits);
  link->GetArguments(arguments.data(), kTextUnits);
  for (std::wstring* text : {&target, &folder, &icon, &description, &arguments}) {
    text->resize(wcsnlen(text->c_str(), kTextUnits));
  }
  WriteStdout("{\"target\": " + JsonString(target) + ", \"working_folder\": " + JsonString(folder) +
              ", \"icon\": " + JsonString(icon) + ", \"icon_index\": " + std::to_string(iconIndex) +
              ", \"description\": " + JsonString(description) + ", \"arguments\": " + JsonString(arguments) + "}\n");
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    return 120;
  }
  ComScope com;
  return ReadShortcut(argv[1]);
}
