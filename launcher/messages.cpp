#include "launcher/messages.h"

// windows.h first: shellapi.h relies on its types.
#include <windows.h>
#include <shellapi.h>

#include <iterator>

namespace {

constexpr DWORD kCompletePauseMs = 700;
constexpr DWORD kPartialPauseMs = 3000;
constexpr DWORD kUnchangedPauseMs = 1200;
constexpr std::int32_t kStatusForbidden = 403;
constexpr std::int32_t kStatusProxyLogin = 407;
// Steam's published browser-protocol link asking the client to install application 10.
constexpr wchar_t kSteamInstallLink[] = L"steam://install/10";

constexpr std::size_t kScanTextKeep = kScanTextMax - 3;
// The line's text field is padded past the longest text, so a shorter one overwrites it; the
// wipe covers the whole line with one column to spare.
constexpr wchar_t kScanLinePrefix[] = L"  Taraniyor: ";
constexpr int kScanFieldWidth = static_cast<int>(kScanTextMax) + 2;
constexpr int kScanWipeWidth = static_cast<int>(std::size(kScanLinePrefix) - 1) + kScanFieldWidth + 1;

// Ends every stop, in the colour of the line it follows or of its own.
constexpr char kCloseKeyPrompt[] = "  Kapatmak icin bir tusa bas...";

// The one key wait of a stop, and its exit code.
int WaitAndStop() {
  WaitForKey();
  return 1;
}

// After a red message: the prompt on a line of its own.
int PromptAndStop() {
  PrintColored(Color::Normal, "\n%s", kCloseKeyPrompt);
  return WaitAndStop();
}

bool IsHighSurrogate(wchar_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

}  // namespace

void SayBanner() { PrintColored(Color::Error, "\n  KORVANTIS\n"); }

void SayInstalled() { PrintColored(Color::Success, "  Kuruldu. Masaustunde Korvantis kisayolu var.\n"); }

int StopCannotInstall(const std::wstring& installFolder) {
  PrintColored(Color::Error, "  Kurulamadi: %ls\n%s", installFolder.c_str(), kCloseKeyPrompt);
  return WaitAndStop();
}

std::wstring ScanProgressText(const std::wstring& folder) {
  if (folder.size() <= kScanTextMax) {
    return folder;
  }
  // Never split a surrogate pair: half a character would print as garbage.
  std::size_t keep = kScanTextKeep;
  if (IsHighSurrogate(folder[keep - 1])) {
    --keep;
  }
  return folder.substr(0, keep) + L"...";
}

ScanReport ScanLines() {
  ScanReport report;
  report.started = [] {
    PrintColored(Color::Normal, "  Counter-Strike 1.6 bilgisayarda araniyor (biraz surebilir)...\n");
  };
  report.folder = [](const std::wstring& folder) {
    const std::wstring text = ScanProgressText(folder);
    SetConsoleColor(Color::Quiet);
    PrintWide(L"\r%ls%-*ls", kScanLinePrefix, kScanFieldWidth, text.c_str());
    SetConsoleColor(Color::Normal);
  };
  report.ended = [] { PrintWide(L"\r%-*ls\r", kScanWipeWidth, L""); };
  return report;
}

void SayGameFound(const std::wstring& gameFolder) {
  PrintColored(Color::Success, "  Counter-Strike 1.6 bulundu: %ls\n", gameFolder.c_str());
}

int StopGameMissing() {
  PrintColored(Color::Error, "\n  Bilgisayarda Counter-Strike 1.6 bulunamadi.\n");
  PrintColored(Color::Normal, "  Steam'den Counter-Strike 1.6'yi kur, bitince Korvantis'i tekrar ac.\n");
  PrintColored(Color::Normal, "  Steam kurulum penceresi aciliyor...\n\n%s", kCloseKeyPrompt);
  // Whether Steam is installed is not checked: the request is the player's way forward.
  ShellExecuteW(nullptr, L"open", kSteamInstallLink, nullptr, nullptr, SW_SHOWNORMAL);
  return WaitAndStop();
}

void SayWaitingForAnotherLauncher() {
  PrintColored(Color::Quiet, "  Korvantis zaten acik, onun guncellemesi bekleniyor...\n");
}

void SayChecking() { PrintColored(Color::Quiet, "  Guncellemeler kontrol ediliyor...\n"); }

void SayManifestRefused(ManifestOutcome outcome) {
  if (outcome == ManifestOutcome::SerialUnreadable) {
    PrintColored(Color::Warning, "  Imza sirasi dosyasi (imza_sirasi.txt) okunamadi, guncelleme reddedildi.\n");
  } else if (outcome == ManifestOutcome::SerialUnwritable) {
    PrintColored(Color::Warning, "  Imza sirasi dosyasi (imza_sirasi.txt) yazilamadi, guncelleme reddedildi.\n");
  } else {
    PrintColored(Color::Warning, "  Guncelleme imzasi reddedildi.\n");
  }
}

void SayUpToDate() { PrintColored(Color::Success, "  Oyun guncel.\n"); }

ProgressLine SayDownloading(std::int64_t totalBytes) {
  PrintColored(Color::Heading, "  Guncelleme indiriliyor...\n");
  ProgressLine line;
  line.totalBytes = totalBytes;
  DrawProgress(line, 0, true);
  return line;
}

void DrawDownloaded(ProgressLine& line, std::int64_t doneBytes) {
  line.doneBytes = doneBytes;
  DrawProgress(line, 0, false);
}

void SayDownloadEnded(ProgressLine& line, bool complete) {
  line.doneBytes = line.totalBytes;
  DrawProgress(line, 0, true);
  PrintPlain("\n");
  if (complete) {
    PrintColored(Color::Success, "  Guncelleme tamam.\n");
    Sleep(kCompletePauseMs);
  } else {
    PrintColored(Color::Warning,
                 "  Guncellemenin bir kismi inmedi (oyun acik mi?), bir sonraki acilista tekrar denenecek.\n");
    Sleep(kPartialPauseMs);
  }
}

void SayStartingUnchanged(std::int32_t httpStatus) {
  if (httpStatus == kStatusProxyLogin) {
    PrintColored(Color::Warning, "  Vekil sunucu (proxy) baglantiyi reddetti (407).\n");
  }
  PrintColored(Color::Warning, "  Sunucuya ulasilamadi, oyun oldugu gibi aciliyor.\n");
  Sleep(kUnchangedPauseMs);
}

int StopWithoutManifest(bool refused, std::int32_t httpStatus) {
  if (refused) {
    PrintColored(Color::Error,
                 "\n  Guncellemenin imzasi gecersiz, oyun dosyalari indirilmedi.\n"
                 "  Biraz sonra tekrar dene; olmazsa Korvantis'i yeniden indir.\n");
  } else if (httpStatus == kStatusForbidden) {
    PrintColored(Color::Error,
                 "\n  Indirme sunucusu baglantini engelledi (403).\n"
                 "  Biraz sonra tekrar dene; olmazsa modemini kapatip ac ya da baska bir internetle dene.\n");
  } else if (httpStatus == kStatusProxyLogin) {
    PrintColored(Color::Error,
                 "\n  Vekil sunucu (proxy) baglantiyi reddetti (407).\n"
                 "  Internet ayarlarindaki vekil sunucu bilgilerini kontrol et.\n");
  } else if (httpStatus != 0) {
    PrintColored(Color::Error, "\n  Indirme sunucusu hata verdi (%d). Biraz sonra tekrar dene.\n",
                 static_cast<int>(httpStatus));
  } else {
    PrintColored(Color::Error, "\n  Indirme sunucusuna ulasilamadi. Internet baglantini kontrol et.\n");
  }
  return PromptAndStop();
}

int StopEngineNotStarted() {
  PrintColored(Color::Error, "\n  Oyun baslatilamadi (xash3d.exe eksik mi?).\n%s", kCloseKeyPrompt);
  return WaitAndStop();
}
