#pragma once
// Starting xash3d.exe with the game folder and the player's own arguments.
#include <string>
#include <vector>

// Whether the engine process was created.
[[nodiscard]] bool LaunchGame(const std::wstring& launcherFolder, const std::wstring& gameFolder);

// Pure composition, for the above and for tests.
[[nodiscard]] std::wstring ComposeGameCommandLine(const std::wstring& launcherFolder, const std::wstring& gameFolder,
                                                  const std::vector<std::wstring>& userArguments);
