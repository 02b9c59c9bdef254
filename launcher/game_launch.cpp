#include "launcher/game_launch.h"

// windows.h first: shellapi.h relies on its types.
#include <windows.h>
#include <shellapi.h>

#include <memory>

#include "base/file_names.h"
#include "base/handles.h"
#include "base/process.h"

namespace {

// Arguments after the program token, as CommandLineToArgvW splits them; empty on failure.
std::vector<std::wstring> LauncherUserArguments() {
  std::vector<std::wstring> arguments;
  int count = 0;
  const std::unique_ptr<wchar_t*, LocalFreer> argv(CommandLineToArgvW(GetCommandLineW(), &count));
  if (!argv) {
    return arguments;
  }
  for (int i = 1; i < count; ++i) {
    arguments.emplace_back(argv.get()[i]);
  }
  return arguments;
}

}  // namespace

std::wstring ComposeGameCommandLine(const std::wstring& launcherFolder, const std::wstring& gameFolder,
                                    const std::vector<std::wstring>& userArguments) {
  std::wstring commandLine =
      L"\"" + launcherFolder + kEngineFileName + L"\" -game cstrike -nointro -rodir \"" + gameFolder;
  // Backslashes before a quote escape it when the engine splits its command line: doubled,
  // they stay the folder's own and the quote still ends it.
  const std::size_t lastOther = gameFolder.find_last_not_of(L'\\');
  commandLine.append(gameFolder.size() - (lastOther == std::wstring::npos ? 0 : lastOther + 1), L'\\');
  commandLine += L'"';
  // Appended as split: the quotes that grouped an argument are not put back.
  for (const std::wstring& argument : userArguments) {
    commandLine += L' ';
    commandLine += argument;
  }
  return commandLine;
}

bool LaunchGame(const std::wstring& launcherFolder, const std::wstring& gameFolder) {
  return StartProcess(launcherFolder + kEngineFileName,
                      ComposeGameCommandLine(launcherFolder, gameFolder, LauncherUserArguments()), 0, launcherFolder);
}
