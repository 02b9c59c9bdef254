#pragma once
// The one test every source's candidate must pass to count as Counter-Strike 1.6.
#include <string>

// Holds "\cstrike\liblist.gam" and "\valve" (existence only; suffixes appended as text).
[[nodiscard]] bool IsGameFolder(const std::wstring& folder);
// The same test on a path buffer that is extended and restored: no allocation once the
// buffer has room, for the drive walk's hot loop.
[[nodiscard]] bool IsGameFolderInPlace(std::wstring& folder);
