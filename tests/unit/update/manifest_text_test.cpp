// Byte-level manifest rules: lines, names, sizes, server path encoding.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "entry_names_table.h"
#include "update/http_text.h"
#include "update/manifest_text.h"

namespace {

using namespace std::string_literals;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

struct LineCase {
  std::string line;
  bool accepted;
  std::string hash;
  std::int64_t size;
  std::string name;
  bool once = false;
};

TEST(ParseManifestLine, Table) {
  const std::vector<LineCase> cases = {
      {"abc 12 valve.dll", true, "abc", 12, "valve.dll"},
      {"abc 12 valve.dll\r", true, "abc", 12, "valve.dll"},
      {"abc 12 valve.dll \r \r  ", true, "abc", 12, "valve.dll"},
      {"abc 12 sound/iki kelime.wav", true, "abc", 12, "sound/iki kelime.wav"},
      {"abc 12 maps/\xC3\xB6zel.bsp", true, "abc", 12, "maps/\xC3\xB6zel.bsp"},
      // Two adjacent spaces: empty size, the rest is the name.
      {"abc  12 x", true, "abc", 0, "12 x"},
      // A blank before "#" is no comment: an entry with an empty hash.
      {" # 5 x", true, "", 0, "5 x"},
      {" 5 x", true, "", 5, "x"},
      {"abc -3 x", true, "abc", -3, "x"},
      {"abc 12abc x", true, "abc", 12, "x"},
      {"abc junk x", true, "abc", 0, "x"},
      {"abc 99999999999999999999 x", true, "abc", kMax, "x"},
      {"abc -99999999999999999999 x", true, "abc", kMin, "x"},
      {"", false, "", 0, ""},
      {"\r\r  ", false, "", 0, ""},
      {"# abc 12 x", false, "", 0, ""},
      {"#", false, "", 0, ""},
      {"abc 12", false, "", 0, ""},
      {"abc 12 ", false, "", 0, ""},
      {"abc", false, "", 0, ""},
      {"abc 12 ../x", false, "", 0, ""},
      // Placed once: the same three fields after "#ilk "; never the launcher itself.
      {"#ilk abc 12 cstrike/ayarlar.cfg\r", true, "abc", 12, "cstrike/ayarlar.cfg", true},
      {"#ilk abc 12 sub/Korvantis.exe", true, "abc", 12, "sub/Korvantis.exe", true},
      {"#ilk abc 12 korvantis.EXE", false, "", 0, ""},
      {"#ilk # 12 x", false, "", 0, ""},
      {"#ilk abc 12", false, "", 0, ""},
      {"#ilkabc 12 x", false, "", 0, ""},
      {"#ILK abc 12 x", false, "", 0, ""},
      {"#ilk abc 12 hl_yolu.txt", false, "", 0, ""},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.line);
    const std::optional<ManifestEntry> entry = ParseManifestLine(c.line);
    ASSERT_EQ(entry.has_value(), c.accepted);
    if (!entry) continue;
    EXPECT_EQ(entry->hash, c.hash);
    EXPECT_EQ(entry->size, c.size);
    EXPECT_EQ(entry->name, c.name);
    EXPECT_EQ(entry->once, c.once);
  }
}

TEST(ParseSizeField, AtoiRulesWithoutOverflow) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"", 0},
      {"0", 0},
      {"  \t42", 42},
      {"+7", 7},
      {"-0", 0},
      {"- 7", 0},
      {"9223372036854775807", kMax},
      {"9223372036854775808", kMax},
      {"-9223372036854775808", kMin},
      {"-9223372036854775809", kMin},
      {"123456789012345678901234567890", kMax},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(ParseSizeField(text), expected);
  }
}

TEST(ForEachLine, SplitsOnLfAndKeepsLastLine) {
  std::vector<std::string> lines;
  ForEachLine("a\r\n\nb c\nlast", [&lines](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, (std::vector<std::string>{"a\r", "", "b c", "last"}));
  lines.clear();
  ForEachLine("x\n", [&lines](std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(lines, (std::vector<std::string>{"x"}));
  lines.clear();
  ForEachLine("", [&lines](std::string_view l) { lines.emplace_back(l); });
  EXPECT_TRUE(lines.empty());
}

// The table the publisher's tests read too: "verdict<TAB>name", \xHH and \\ escaped.
struct NameCase {
  std::string verdict;
  std::string name;
};

std::vector<NameCase> ReadNameTable() {
  std::vector<NameCase> cases;
  ForEachLine(kEntryNamesTable, [&cases](std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (line.empty() || line.front() == '#' || tab == std::string_view::npos) return;
    NameCase c{std::string(line.substr(0, tab)), {}};
    const std::string_view raw = line.substr(tab + 1);
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == 'x' && i + 3 < raw.size()) {
        c.name.push_back(static_cast<char>(std::stoi(std::string(raw.substr(i + 2, 2)), nullptr, 16)));
        i += 3;
      } else if (raw[i] == '\\' && i + 1 < raw.size() && raw[i + 1] == '\\') {
        c.name.push_back('\\');
        ++i;
      } else {
        c.name.push_back(raw[i]);
      }
    }
    cases.push_back(std::move(c));
  });
  return cases;
}

TEST(IsSafeEntryName, SharedNameTable) {
  const std::vector<NameCase> cases = ReadNameTable();
  ASSERT_GT(cases.size(), 100u);
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.verdict + " \"" + c.name + "\"");
    ASSERT_TRUE(c.verdict == "take" || c.verdict == "skip" || c.verdict == "refuse");
    EXPECT_EQ(IsSafeEntryName(c.name), c.verdict != "skip");
  }
}

TEST(PercentEncodePath, Table) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"maps/a b.bsp", "maps/a%20b.bsp"},
      {"AZaz09-._/", "AZaz09-._/"},
      {"~", "%7E"},
      {"a\\b", "a%5Cb"},
      {"%", "%25"},
      {"+", "%2B"},
      {"?", "%3F"},
      {"#", "%23"},
      {"\xC3\xB6z", "%C3%B6z"},
      {"\xE2\x82\xAC", "%E2%82%AC"},
      {"\xFF\x01", "%FF%01"},
      {"a\0b"s, "a%00b"},
      {"", ""},
  };
  for (const auto& [name, expected] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PercentEncodePath(name), expected);
  }
}

TEST(SplitSignedManifest, OneValidLastLineOnly) {
  const std::string hex = "00ff" + std::string(124, 'a');
  const std::string line = "#imza " + hex + "\n";
  const std::string content = "# published\nabc 3 a.txt\n";
  const std::string body = content + line;  // the split points into it
  const std::optional<SignedManifest> whole = SplitSignedManifest(body);
  ASSERT_TRUE(whole.has_value());
  EXPECT_EQ(whole->content, content);
  EXPECT_EQ(whole->signature[0], 0x00);
  EXPECT_EQ(whole->signature[1], 0xff);
  EXPECT_EQ(whole->signature[63], 0xaa);
  ASSERT_TRUE(SplitSignedManifest(line).has_value());
  EXPECT_EQ(SplitSignedManifest(line)->content, "");

  const std::vector<std::pair<const char*, std::string>> refused = {
      {"no signature line", content},
      {"empty", ""},
      {"two signature lines", content + line + line},
      {"an earlier signature line", line + content + line},
      {"a line after it", content + line + "abc 3 b.txt\n"},
      {"trailing bytes", content + line + " "},
      {"no final line feed", content + line.substr(0, line.size() - 1)},
      {"CR LF", content + line.substr(0, line.size() - 1) + "\r\n"},
      {"not at a line start", "x" + line},
      {"upper-case hex", content + "#imza " + std::string(128, 'A') + "\n"},
      {"not hex", content + "#imza " + std::string(127, 'a') + "g\n"},
      {"127 digits", content + "#imza " + std::string(127, 'a') + "\n"},
      {"129 digits", content + "#imza " + std::string(129, 'a') + "\n"},
      {"no blank after the word", content + "#imza" + std::string(129, 'a') + "\n"},
  };
  for (const auto& [what, text] : refused) {
    SCOPED_TRACE(what);
    EXPECT_FALSE(SplitSignedManifest(text).has_value());
  }
}

TEST(ParseManifestSerial, FirstLineOnlyCanonicalAndInRange) {
  const std::vector<std::pair<std::string, std::int64_t>> cases = {
      {"#sira 1\nabc 1 x\n", 1},
      {"#sira 42\r\n", 42},
      {"#sira 9223372036854775807\n", kMax},
      {"# published\n#sira 5\n", kNoSerial},  // not the first line
      {"abc 1 x\n", kNoSerial},
      {"", kNoSerial},
      {"#SIRA 5\n", kNoSerial},
      {"#sira 9223372036854775808\n", kBadSerial},  // past the range
      {"#sira 99999999999999999999\n", kBadSerial},
      {"#sira 007\n", kBadSerial},  // leading zeros
      {"#sira 0\n", kBadSerial},
      {"#sira -3\n", kBadSerial},
      {"#sira +3\n", kBadSerial},
      {"#sira 3x\n", kBadSerial},
      {"#sira 3 \n", kBadSerial},
      {"#sira \n", kBadSerial},
      {"#sira 3", kBadSerial},  // no line end
  };
  for (const auto& [content, serial] : cases) {
    SCOPED_TRACE(content);
    EXPECT_EQ(ParseManifestSerial(content), serial);
  }
}

TEST(ParseContentRange, OnlyOneSatisfiedByteRange) {
  struct Row {
    const char* text;
    bool parsed;
    std::uint64_t first = 0, last = 0, total = 0;
  };
  const std::vector<Row> rows = {
      {"bytes 0-9/10", true, 0, 9, 10},
      {" bytes 100-199/1000 ", true, 100, 199, 1000},
      {"bytes 18446744073709551614-18446744073709551614/18446744073709551615", true, 18446744073709551614ull,
       18446744073709551614ull, 18446744073709551615ull},
      {"bytes 0-9/*", false},                     // total unknown
      {"bytes */10", false},                      // unsatisfied
      {"bytes 5-4/10", false},                    // backwards
      {"bytes 0-10/10", false},                   // past the end
      {"bytes 0-9/18446744073709551616", false},  // overflow
      {"bytes -1-9/10", false},
      {"bytes 0-9,20-29/100", false},  // a list
      {"items 0-9/10", false},
      {"bytes 0x1-9/10", false},
      {"", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    const std::optional<ContentRange> range = ParseContentRange(row.text);
    ASSERT_EQ(range.has_value(), row.parsed);
    if (!range) continue;
    EXPECT_EQ(range->first, row.first);
    EXPECT_EQ(range->last, row.last);
    EXPECT_EQ(range->total, row.total);
  }
  EXPECT_EQ(ParseContentLength(" 1234 "), 1234u);
  EXPECT_EQ(ParseContentLength("12 34"), std::nullopt);
  EXPECT_EQ(ParseContentLength("+5"), std::nullopt);
}

TEST(IsUsableEntityTag, StrongQuotedPrintableOnly) {
  EXPECT_TRUE(IsUsableEntityTag("\"5f1e-64a\""));
  for (const std::string& tag : std::vector<std::string>{"W/\"5f1e\"", "5f1e", "\"a\r\nX-Evil: 1\"", "\"a b\"", "\"",
                                                         "\"a\"b\"", "\"" + std::string(300, 'a') + "\""}) {
    SCOPED_TRACE(tag);
    EXPECT_FALSE(IsUsableEntityTag(tag));
  }
}

TEST(VersionToken, FirstTwelveOrAll) {
  EXPECT_EQ(VersionToken("0123456789abcdef0123"), "0123456789ab");
  EXPECT_EQ(VersionToken("0123456789ab"), "0123456789ab");
  EXPECT_EQ(VersionToken("abc"), "abc");
  EXPECT_EQ(VersionToken(""), "");
}

}  // namespace
