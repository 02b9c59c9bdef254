#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "locate/library_file.h"

namespace {

using Paths = std::vector<std::string>;

struct LibraryCase {
  const char* name;
  std::string file;
  Paths expected;
};

// A literal with NUL bytes inside, whole.
template <std::size_t N>
std::string Bytes(const char (&text)[N]) {
  return std::string(text, N - 1);
}

TEST(ScanLibraryPaths, FindsExactlyThePathValues) {
  const LibraryCase cases[] = {
      {"typical file with nested keys",
       "\"libraryfolders\"\n{\n\t\"0\"\n\t{\n\t\t\"path\"\t\t\"C:\\\\Program Files (x86)\\\\Steam\"\n"
       "\t\t\"label\"\t\t\"\"\n\t\t\"apps\"\n\t\t{\n\t\t\t\"10\"\t\t\"123\"\n\t\t}\n\t}\n"
       "\t\"1\"\n\t{\n\t\t\"path\"\t\t\"D:\\\\Games\\\\SteamLibrary\"\n\t}\n}\n",
       {"C:\\Program Files (x86)\\Steam", "D:\\Games\\SteamLibrary"}},
      {"old flat format: key and value on one line", "\"1\" \"E:\\\\Lib\"\n\"path\" \"F:\\\\Lib\"", {"F:\\Lib"}},
      {"capitals are another key", "\"PATH\" \"C:\\\\a\" \"Path\" \"C:\\\\b\"", {}},
      {"a key that only begins with path", "\"pathx\" \"C:\\\\a\" \"paths\" \"C:\\\\b\"", {}},
      {"a key that ends in path", "\"mypath\" \"C:\\\\a\"", {}},
      {"empty value stays in the list", "\"path\" \"\" \"path\" \"X:\"", {"", "X:"}},
      {"single backslashes are taken unchanged", "\"path\" \"D:\\Games\\Lib\"", {"D:\\Games\\Lib"}},
      {"three backslashes: one pair undone, one kept", "\"path\" \"a\\\\\\b\"", {"a\\\\b"}},
      {"four backslashes become two", "\"path\" \"\\\\\\\\server\\\\share\"", {"\\\\server\\share"}},
      {"a value ends at the next quote, even an escaped one", "\"path\" \"a\\\"b\" \"c\"", {"a\\"}},
      {"anything between key and value is passed over", "\"path\"\r\n {= \"G:\\\\L\"", {"G:\\L"}},
      {"UTF-8 names stay bytes",
       "\"path\" \"D:\\\\Oyunlar\\\\\xC3\xB6zel \xE2\x82\xAC\"",
       {"D:\\Oyunlar\\\xC3\xB6zel \xE2\x82\xAC"}},
      {"value cut off at the end keeps earlier values", "\"path\" \"A:\" \"path\" \"B:\\\\Lib", {"A:"}},
      {"key at the very end", "\"path\" \"A:\"\"path\"", {"A:"}},
      {"opening quote is the last byte", "\"path\" \"A:\" \"path\" \"", {"A:"}},
      {"no quote after the key", "\"path\" \"A:\" \"path\"  x", {"A:"}},
      {"fewer than six bytes", "\"path", {}},
      {"empty file", "", {}},
      {"NUL bytes are kept for the caller", Bytes("\"path\" \"A\0B\""), {Bytes("A\0B")}},
      {"value directly after the key", "\"path\"\"Z:\"", {"Z:"}},
  };
  for (const LibraryCase& c : cases) {
    EXPECT_EQ(ScanLibraryPaths(c.file), c.expected) << c.name;
  }
}

TEST(ScanLibraryPaths, EveryCutOfAFileIsSafeAndAPrefixOfTheWhole) {
  const std::string file =
      "\"libraryfolders\"{\"0\"{\"path\"\"C:\\\\S\"}\"1\"{\"path\"\t\"D:\\\\L\"}\"2\"{\"path\" \"\"}}";
  const Paths whole = ScanLibraryPaths(file);
  ASSERT_EQ(whole, (Paths{"C:\\S", "D:\\L", ""}));
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    const Paths part = ScanLibraryPaths(std::string_view(file).substr(0, cut));
    ASSERT_LE(part.size(), whole.size()) << cut;
    for (std::size_t i = 0; i < part.size(); ++i) {
      EXPECT_EQ(part[i], whole[i]) << "cut at " << cut;
    }
  }
}

TEST(NormaliseRegistryPath, SeparatorsAndTrailingBackslashes) {
  const struct {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"c:/games/steam/", L"c:\\games\\steam"},
      {L"C:\\Program Files (x86)\\Steam", L"C:\\Program Files (x86)\\Steam"},
      {L"D:\\", L"D:"},
      {L"D:/", L"D:"},
      {L"E:\\Games\\\\//", L"E:\\Games"},
      {L"\\\\//\\", L""},
      {L"", L""},
      {L"\\\\server/share", L"\\\\server\\share"},
      // Nothing else is touched: quotes, blanks, case, environment references.
      {L" \"%ProgramFiles%\\Steam\" ", L" \"%ProgramFiles%\\Steam\" "},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NormaliseRegistryPath(c.in), c.out) << std::wstring(c.in).size();
  }
}

}  // namespace
