#pragma once
// For the test programs built with it (korvantis_unit_test(... CAPTURE)): stands in for the
// console's output primitives and, while a capture is set, records every piece of text with
// the colour it was printed in instead of writing it.
#include <string>
#include <utility>
#include <vector>

#include "console/console.h"

struct ConsoleCapture {
  std::vector<std::pair<ConsoleAttribute, std::wstring>> pieces;
};
// nullptr: back to standard output.
void CaptureConsoleOutput(ConsoleCapture* into);
