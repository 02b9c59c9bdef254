#pragma once
// Byte-level reading of Steam's libraryfolders.vdf and registry path normalisation; no
// Windows header, so it builds natively for fuzzing.
#include <string>
#include <string_view>
#include <vector>

// Every "path" value in file order, backslash doubling undone, still UTF-8. Only the exact
// quoted key "path" counts, at any nesting depth; a value cut off by the end of the file
// ends the scan, keeping what came before.
[[nodiscard]] std::vector<std::string> ScanLibraryPaths(std::string_view fileBytes);

// "/" becomes "\", trailing separators go; a value of separators only becomes empty.
[[nodiscard]] std::wstring NormaliseRegistryPath(std::wstring value);
