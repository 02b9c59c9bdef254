#include "console_capture.h"

#include <cstdio>

#include "base/text.h"

namespace {

ConsoleCapture* Capture = nullptr;
ConsoleAttribute CapturedAttribute = Color::Normal;

}  // namespace

void CaptureConsoleOutput(ConsoleCapture* into) {
  Capture = into;
  CapturedAttribute = Color::Normal;
}

// Defines what console/console_write.cpp defines, so the linker never takes that file.
void WriteConsoleText(const std::wstring& text) {
  if (text.empty()) return;
  if (Capture != nullptr) {
    Capture->pieces.emplace_back(CapturedAttribute, text);
    return;
  }
  const std::string bytes = WideToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
}

void SetConsoleColor(ConsoleAttribute attribute) { CapturedAttribute = attribute; }
