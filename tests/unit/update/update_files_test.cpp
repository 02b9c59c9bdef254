// The update engine's file side: hashing, the current-file decision, the manifest against a
// folder, server paths, and moving a verified download into place.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/launcher_paths.h"
#include "update/build_identity.h"
#include "update/launcher_image.h"
#include "update/manifest.h"
#include "update/sha256.h"
#include "update/signature.h"
#include "update/update.h"

namespace {

constexpr char kEmptySha[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kAbcSha[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// A fresh folder per test that stands in for the launcher folder.
class UpdateFolder : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    folder_ = std::wstring(base) + L"korvantis_update_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::wstring(info->name(), info->name() + std::char_traits<char>::length(info->name())) + L"\\";
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
  void TearDown() override { RemoveTree(folder_); }
  // The plan for a manifest against this folder.
  UpdatePlan Plan(const std::string& content) const { return PlanUpdate(folder_, content); }

  static void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(dir + name + L"\\");
        } else {
          DeleteFileW((dir + name).c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
  }

  std::wstring Path(const std::wstring& name) const { return folder_ + name; }

  static void Write(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  static std::string Read(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

  std::wstring folder_;
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i % 251);
  return bytes;
}

using HashFile = UpdateFolder;

TEST_F(HashFile, KnownAnswers) {
  struct Case {
    std::string content;
    const char* digest;
  };
  const std::vector<Case> cases = {
      {"", kEmptySha},
      {"abc", kAbcSha},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Exactly one read chunk, then one byte into the second.
      {Pattern(1048576), "631b84027d6b9e52b539c4e8373622d23032dfadc64d60af87339c9037e4f769"},
      {Pattern(1048577), "5769f52bc3eef28afa39c6fc68cadb7d0bd69812ae3a3d71452f519ec3c7aa56"},
  };
  Sha256Stream stream;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.size());
    Write(Path(L"f.bin"), c.content);
    EXPECT_EQ(HashFileSha256(Path(L"f.bin")), c.digest);
    // The same fed as a download writes it, in pieces of any size, into a digest that a restart
    // (a 200 to a resumed request) begins anew.
    ASSERT_TRUE(StartSha256(stream));
    AddToSha256(stream, "dropped by the restart", 22);
    ASSERT_TRUE(StartSha256(stream));
    for (std::size_t at = 0, piece = 1; at < c.content.size(); at += piece, piece = piece * 3 + 7) {
      AddToSha256(stream, c.content.data() + at, std::min(piece, c.content.size() - at));
    }
    EXPECT_EQ(FinishSha256(stream), c.digest);
    EXPECT_EQ(FinishSha256(stream), "");  // finished: no digest of anything more
    // The same on a thread of its own, restarted after a piece as a 200 to a resume does.
    Sha256Behind behind;
    for (const bool onItsThread : {true, false, true}) {
      ASSERT_TRUE(behind.Start(onItsThread));
      behind.Add("dropped", 7);
      ASSERT_TRUE(behind.Start(onItsThread));
      for (std::size_t at = 0, piece = 1; at < c.content.size(); at += piece, piece = piece * 5 + 70000) {
        behind.Add(c.content.data() + at, std::min(piece, c.content.size() - at));
      }
      EXPECT_EQ(behind.Finish(), c.digest);
    }
  }
}

TEST_F(HashFile, UnreadableGivesEmpty) {
  CreateDirectoryW(Path(L"dir").c_str(), nullptr);
  EXPECT_EQ(HashFileSha256(Path(L"dir")), "");
  EXPECT_EQ(HashFileSha256(Path(L"missing.bin")), "");

  Write(Path(L"busy.bin"), "abc");
  {
    const Handle writer(CreateFileW(Path(L"busy.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(writer.get(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(HashFileSha256(Path(L"busy.bin")), "");
  }
  // A reader does not stand in the way, and the handle was not leaked by the failed call.
  const Handle reader(
      CreateFileW(Path(L"busy.bin").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(HashFileSha256(Path(L"busy.bin")), kAbcSha);
}

using EntryCurrent = UpdateFolder;

TEST_F(EntryCurrent, SizeThenDigest) {
  Write(Path(L"abc.txt"), "abc");
  struct Case {
    const char* what;
    ManifestEntry entry;
    bool current;
  };
  std::string upper = kAbcSha;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::vector<Case> cases = {
      {"right size and digest", {kAbcSha, "abc.txt", 3}, true},
      {"right size, other digest", {kEmptySha, "abc.txt", 3}, false},
      {"other size, right digest", {kAbcSha, "abc.txt", 4}, false},
      {"upper-case digest", {upper, "abc.txt", 3}, false},
      {"missing file", {kAbcSha, "nothere.txt", 3}, false},
      // The failure result of hashing is no digest, so an empty hash field never matches.
      {"missing, size -1, empty hash", {"", "nothere.txt", -1}, false},
      {"file held for writing, empty hash", {"", "busy.txt", 3}, false},
  };
  Write(Path(L"busy.txt"), "abc");
  const Handle writer(CreateFileW(Path(L"busy.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string line = c.entry.hash + " " + std::to_string(c.entry.size) + " " + c.entry.name;
    EXPECT_EQ(Plan(line).entries.empty(), c.current);
  }
}

TEST_F(EntryCurrent, LocalPathUsesBackslashesAndUtf8) {
  EXPECT_EQ(MakeLocalPath(folder_, "maps/\xC3\xB6zel a.bsp"), folder_ + L"maps\\\u00f6zel a.bsp");
  EXPECT_EQ(MakeLocalPath(folder_, "a\\b"), folder_ + L"a\\b");
}

using PlanUpdateTest = UpdateFolder;

TEST_F(PlanUpdateTest, ListsOnlyWhatDiffers) {
  Write(Path(L"abc.txt"), "abc");
  CreateDirectoryW(Path(L"sub dir").c_str(), nullptr);
  Write(Path(L"sub dir\\empty.txt"), "");
  const std::string body = std::string("# comment\r\n") + kAbcSha + " 3 abc.txt\r\n" + kEmptySha +
                           " 0 sub dir/empty.txt  \r\n\r\n" + kAbcSha + " 10 new/one.txt\n" + kEmptySha +
                           " 7 ../outside.txt\n" + kAbcSha + " 5 abc.txt\n" + kEmptySha + " 4 last.txt";
  const UpdatePlan plan = Plan(body);
  ASSERT_EQ(plan.entries.size(), 3u);
  EXPECT_EQ(plan.entries[0].name, "new/one.txt");
  EXPECT_EQ(plan.entries[1].name, "abc.txt");
  EXPECT_EQ(plan.entries[2].name, "last.txt");
  EXPECT_EQ(plan.totalBytes, 10 + 5 + 4);
}

TEST_F(PlanUpdateTest, EmptyBodyAndSaturatingTotal) {
  const UpdatePlan empty = Plan("");
  EXPECT_TRUE(empty.entries.empty());
  EXPECT_EQ(empty.totalBytes, 0);

  const std::string huge = "h 99999999999999999999 a\nh 9223372036854775807 b\n";
  EXPECT_EQ(Plan(huge).totalBytes, std::numeric_limits<std::int64_t>::max());
  const std::string negative = "h -9223372036854775808 a\nh -1 b\n";
  EXPECT_EQ(Plan(negative).totalBytes, std::numeric_limits<std::int64_t>::min());
}

TEST(BuildFilePath, EncodedNameAndVersionToken) {
  EXPECT_EQ(BuildFilePath({"0123456789abcdef", "maps/a b.bsp", 1}),
            L"/korvantis/guncelleme/dosyalar/maps/a%20b.bsp?v=0123456789ab");
  EXPECT_EQ(BuildFilePath({"abc", "x\\\xC3\xB6.txt", 1}), L"/korvantis/guncelleme/dosyalar/x%5C%C3%B6.txt?v=abc");
  EXPECT_EQ(BuildFilePath({"", "x", 1}), L"/korvantis/guncelleme/dosyalar/x?v=");
}

// tests/keys/update-test.pub, and signatures made with publish.py over kSignedContent: with
// its private key, and with another key.
constexpr char kSignedContent[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 0 bos.txt\n";
constexpr char kTestKeyPoint[] =
    "3090403c11dbe77e625f5ae483fb43af8992f58d768af46fed56ef07efaf3e7b0cfecec6b3569765f3247bb13dae8fb0397c3531fb3cc1d584"
    "9b1032de57ce62";
constexpr char kByTestKey[] =
    "16fb8ce0d6b33967ba53a02837a5d31263b5dd88f9b50fe6d7e7911c946dff525e9c4ecf47df76cd9cd00c8af3288d208ac4e1e5b6d158a995"
    "033d7983fb7e26";
constexpr char kByOtherKey[] =
    "4928c42052891273a41d2f9927bd40ee3fa6a9ddb970120d078a39de4dd39dee9f87154eb2ec684e48da5902a06429f089aea1580cfa29f1e8"
    "10cbee9fde8340";

std::array<unsigned char, 64> Bytes(std::string_view hex) {
  std::array<unsigned char, 64> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<unsigned char>(std::stoi(std::string(hex.substr(2 * i, 2)), nullptr, 16));
  }
  return out;
}

TEST(VerifyManifestSignature, OnlyTheKeysOwnSignatureOverTheExactBytes) {
  const UpdateKey key{true, Bytes(kTestKeyPoint)};
  EXPECT_TRUE(VerifyManifestSignature(kSignedContent, Bytes(kByTestKey), key));

  std::string tampered = kSignedContent;
  tampered[0] = static_cast<char>(tampered[0] ^ 1);
  EXPECT_FALSE(VerifyManifestSignature(tampered, Bytes(kByTestKey), key));
  EXPECT_FALSE(VerifyManifestSignature(std::string(kSignedContent) + "\n", Bytes(kByTestKey), key));
  std::array<unsigned char, 64> flipped = Bytes(kByTestKey);
  flipped[40] ^= 0x10;
  EXPECT_FALSE(VerifyManifestSignature(kSignedContent, flipped, key));
  EXPECT_FALSE(VerifyManifestSignature(kSignedContent, Bytes(kByOtherKey), key));
  EXPECT_FALSE(VerifyManifestSignature(kSignedContent, Bytes(kByTestKey), UpdateKey{false, Bytes(kTestKeyPoint)}));
}

TEST(LauncherImageKeyKind, TheOneBlockOfLayoutOneOrLater) {
  // This program's own block, as the linker laid it out, inside other bytes.
  const std::string block(reinterpret_cast<const char*>(&BuiltIdentity), sizeof(BuiltIdentity));
  const std::string image = std::string(1000, 'x') + block + std::string(10, '\0');
  const std::string_view magic(BuiltIdentity.magic, sizeof(BuiltIdentity.magic));
  EXPECT_EQ(std::string(magic), std::string("KORVANTIS:BUILD\0", 16));
  EXPECT_EQ(LauncherImageKeyKind(image, magic), kNoUpdateKey);
  std::string keyed = image;
  keyed[1000 + offsetof(BuildIdentity, keyKind)] = static_cast<char>(kP256UpdateKey);
  EXPECT_EQ(LauncherImageKeyKind(keyed, magic), kP256UpdateKey);
  // A later layout keeps layout 1's fields where they are and adds after them.
  std::string later = keyed + "later fields";
  later[1000 + offsetof(BuildIdentity, layout)] = 2;
  EXPECT_EQ(LauncherImageKeyKind(later, magic), kP256UpdateKey);
  std::string layoutZero = image;
  layoutZero[1000 + offsetof(BuildIdentity, layout)] = 0;
  EXPECT_EQ(LauncherImageKeyKind(layoutZero, magic), std::nullopt);
  EXPECT_EQ(LauncherImageKeyKind(image + block, magic), std::nullopt);  // two blocks
  EXPECT_EQ(LauncherImageKeyKind(image.substr(0, 1000 + kLayoutOneBytes), magic), kNoUpdateKey);
  EXPECT_EQ(LauncherImageKeyKind(image.substr(0, 1000 + kLayoutOneBytes - 1), magic), std::nullopt);
  EXPECT_EQ(LauncherImageKeyKind(std::string(5000, 'x'), magic), std::nullopt);
}

void SetHost(char16_t (&field)[kHostUnits], std::u16string_view host) {
  std::fill(std::begin(field), std::end(field), u'\0');
  std::copy(host.begin(), host.end(), std::begin(field));
}

TEST(UpdateHostsOf, MainHostThenTheFallbacksOfALaterLayout) {
  BuildIdentity identity{};
  SetHost(identity.host, u"ana.example");
  SetHost(identity.fallbackHosts[0], u"yedek1.example");
  SetHost(identity.fallbackHosts[1], u"yedek2.example");
  identity.fallbackHostCount = 2;
  identity.layout = 1;  // what follows layout 1's fields is not read
  EXPECT_EQ(UpdateHostsOf(identity), (std::vector<std::wstring>{L"ana.example"}));
  identity.layout = 2;
  EXPECT_EQ(UpdateHostsOf(identity), (std::vector<std::wstring>{L"ana.example", L"yedek1.example", L"yedek2.example"}));
  identity.fallbackHostCount = 0xFFFFFFFF;  // never past the block
  EXPECT_EQ(UpdateHostsOf(identity).size(), 1 + kMostFallbackHosts);
  std::fill(std::begin(identity.host), std::end(identity.host), u'a');  // no NUL: bounded by the field
  EXPECT_EQ(UpdateHostsOf(identity).front(), std::wstring(kHostUnits, L'a'));
  // The launcher built here has one host, and so layout 1, which launchers before layout 2 read.
  EXPECT_EQ(BuiltIdentity.layout, 1u);
  EXPECT_EQ(UpdateHostsOf(BuiltIdentity).size(), 1u);
}

TEST(BuildManifestPath, PrefixAndDigits) {
  const std::wstring path = BuildManifestPath();
  const std::wstring prefix = L"/korvantis/guncelleme/manifest.txt?t=";
  ASSERT_GT(path.size(), prefix.size());
  EXPECT_EQ(path.substr(0, prefix.size()), prefix);
  for (std::size_t i = prefix.size(); i < path.size(); ++i) EXPECT_TRUE(iswdigit(path[i])) << i;
}

using MoveDownloadIntoPlaceTest = UpdateFolder;

TEST_F(MoveDownloadIntoPlaceTest, OnlyTheTopLevelLauncherIsKeptAsEski) {
  struct Row {
    const char* name;  // as the manifest lists it
    const wchar_t* target;
    const char* before;  // the target's content before; null: no such file
    bool downloaded;     // the ".indiriliyor" file is there
    bool moved, self;
    const char* after;  // the target's content after
    const char* eski;   // the ".eski" copy's content after; null: none
  };
  const Row rows[] = {
      {"a.txt", L"a.txt", "old", true, true, false, "new", "stale"},
      {"sub/Korvantis.exe", L"sub\\Korvantis.exe", "old", true, true, false, "new", "stale"},
      {"Korvantis.exe", L"Korvantis.exe", "old", true, true, true, "new", "old"},
      {"KORVANTIS.EXE", L"Korvantis.exe", "old", true, true, true, "new", "old"},
      {"korvantis.exe", L"Korvantis.exe", "old", true, true, true, "new", "old"},
      // The new one cannot move (no download): the old one is put back.
      {"Korvantis.exe", L"Korvantis.exe", "old", false, false, false, "old", nullptr},
      {"Korvantis.exe", L"Korvantis.exe", nullptr, true, true, true, "new", nullptr},
  };
  CreateDirectoryW(Path(L"sub").c_str(), nullptr);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::wstring target = Path(row.target);
    for (const wchar_t* suffix : {L"", L".eski", L".indiriliyor"}) DeleteFileW((target + suffix).c_str());
    if (row.before) {
      Write(target, row.before);
      Write(target + L".eski", "stale");
    }
    if (row.downloaded) Write(target + L".indiriliyor", "new");
    bool self = false;
    EXPECT_EQ(MoveDownloadIntoPlace(target + L".indiriliyor", target, row.name, self), row.moved);
    EXPECT_EQ(self, row.self);
    EXPECT_EQ(Read(target), row.after);
    EXPECT_EQ(Exists(target + L".eski"), row.eski != nullptr);
    if (row.eski) {
      EXPECT_EQ(Read(target + L".eski"), row.eski);
    }
    EXPECT_FALSE(Exists(target + L".indiriliyor"));
  }
}

TEST_F(MoveDownloadIntoPlaceTest, TargetInUseFails) {
  Write(Path(L"a.txt"), "old");
  Write(Path(L"a.txt.indiriliyor"), "new");
  const Handle user(
      CreateFileW(Path(L"a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_NE(user.get(), INVALID_HANDLE_VALUE);
  bool self = false;
  EXPECT_FALSE(MoveDownloadIntoPlace(Path(L"a.txt.indiriliyor"), Path(L"a.txt"), "a.txt", self));
  EXPECT_FALSE(self);
  EXPECT_EQ(Read(Path(L"a.txt")), "old");
}

TEST_F(MoveDownloadIntoPlaceTest, TargetHeldForAMomentIsWaitedFor) {
  // A scanner reading the file just written lets go within a second or two.
  Write(Path(L"a.txt"), "old");
  Write(Path(L"a.txt.indiriliyor"), "new");
  HANDLE scanner =
      CreateFileW(Path(L"a.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
  std::thread letGo([scanner] {
    Sleep(500);
    CloseHandle(scanner);
  });
  bool self = false;
  EXPECT_TRUE(MoveDownloadIntoPlace(Path(L"a.txt.indiriliyor"), Path(L"a.txt"), "a.txt", self));
  letGo.join();
  EXPECT_EQ(Read(Path(L"a.txt")), "new");
}

}  // namespace
