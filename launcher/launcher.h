#pragma once
// The run from the first console line to the exit code.

// The process's exit code: 0 or 1.
[[nodiscard]] int RunLauncher();
