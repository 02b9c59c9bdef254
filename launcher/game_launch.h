#pragma once
// Starting xash3d.exe with the game folder and the player's own arguments.
#include <string>
#include <vector>

// 0 when the engine process was created, 1 after the failure message and key wait.
[[nodiscard]] int LaunchGame(const std::wstring& gameFolder);

// The engine's command line for this process: fixed options, the game folder, then the
// launcher's own arguments.
[[nodiscard]] std::wstring BuildGameCommandLine(const std::wstring& gameFolder);

// Pure composition, for the above and for tests.
[[nodiscard]] std::wstring ComposeGameCommandLine(const std::wstring& launcherFolder,
                                                  const std::wstring& gameFolder,
                                                  const std::vector<std::wstring>& userArguments);

// Arguments after the program token, as CommandLineToArgvW splits them; empty on failure.
[[nodiscard]] std::vector<std::wstring> LauncherUserArguments();
