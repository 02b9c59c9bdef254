#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/launcher_paths.h"
#include "base/numbers.h"
#include "base/process.h"
#include "base/text.h"
#include "base/workers.h"

namespace {

TEST(Utf8ToWide, ConvertsAndStopsAtNul) {
  EXPECT_EQ(Utf8ToWide(""), L"");
  EXPECT_EQ(Utf8ToWide("maps/a b.bsp"), L"maps/a b.bsp");
  EXPECT_EQ(Utf8ToWide("\xc3\xb6\xc5\x9f\xc4\x9f\xc4\xb0"), L"\u00f6\u015f\u011f\u0130");
  EXPECT_EQ(Utf8ToWide(std::string("ab\0cd", 5)), L"ab");
  EXPECT_EQ(Utf8ToWide("a\xff"), L"a\ufffd");
  EXPECT_EQ(WideToUtf8(L"\u00f6 \U0001F600"), "\xc3\xb6 \xf0\x9f\x98\x80");
}

TEST(SaturatingAdd, ClampsAtBothEnds) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  EXPECT_EQ(SaturatingAdd(1, 2), 3);
  EXPECT_EQ(SaturatingAdd(kMax, 1), kMax);
  EXPECT_EQ(SaturatingAdd(kMax - 1, kMax), kMax);
  EXPECT_EQ(SaturatingAdd(kMin, -1), kMin);
  EXPECT_EQ(SaturatingAdd(kMin, kMax), -1);
  EXPECT_EQ(SaturatingAdd(-5, 3), -2);
}

TEST(FolderOfPath, KeepsEverythingUpToTheLastBackslash) {
  EXPECT_EQ(FolderOfPath(L"C:\\Games\\Mod\\Korvantis.exe"), L"C:\\Games\\Mod\\");
  EXPECT_EQ(FolderOfPath(L"Korvantis.exe"), L"");
  EXPECT_EQ(FolderOfPath(L"C:/Games/Mod/Korvantis.exe"), L"");  // "/" is no separator here
  EXPECT_EQ(FolderOfPath(L"\\\\server\\share\\a.exe"), L"\\\\server\\share\\");
}

TEST(QueryModulePath, GivesTheWholePath) {
  const std::optional<std::wstring> path = QueryModulePath();
  ASSERT_TRUE(path.has_value());
  EXPECT_GT(path->size(), 4u);
  EXPECT_EQ(path->substr(path->size() - 4), L".exe");
  EXPECT_EQ(path->find(L'\0'), std::wstring::npos);
}

TEST(ReadEnvironmentVariable, WholeValueOrNothing) {
  const std::wstring longValue = L"C:\\" + std::wstring(2000, L'\u00e7');
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", longValue.c_str()));
  EXPECT_EQ(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE"), longValue);
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", L""));
  EXPECT_FALSE(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE").has_value());
  ASSERT_TRUE(SetEnvironmentVariableW(L"KORVANTIS_TEST_VALUE", nullptr));
  EXPECT_FALSE(ReadEnvironmentVariable(L"KORVANTIS_TEST_VALUE").has_value());
}

TEST(RunOnWorkers, EachJobOnceOnAtMostThatManyThreadsAndTicksOnTheCaller) {
  const struct {
    std::size_t count;
    unsigned workers;
  } rows[] = {{0, 6}, {1, 6}, {7, 1}, {7, 3}, {200, 12}, {3, 100}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.count) + " jobs, " + std::to_string(row.workers) + " workers");
    std::vector<std::atomic<int>> ran(row.count);
    std::vector<std::atomic<DWORD>> on(row.count);
    std::vector<DWORD> tickedOn;
    const DWORD caller = GetCurrentThreadId();
    RunOnWorkers(
        row.count, row.workers,
        [&ran, &on](std::size_t i) {
          ++ran[i];
          on[i] = GetCurrentThreadId();
          Sleep(i % 4 == 0 ? 1 : 0);
        },
        [&tickedOn] { tickedOn.push_back(GetCurrentThreadId()); });
    std::vector<DWORD> threads;
    for (std::size_t i = 0; i < row.count; ++i) {
      EXPECT_EQ(ran[i], 1) << i;
      if (std::find(threads.begin(), threads.end(), on[i].load()) == threads.end()) threads.push_back(on[i]);
    }
    EXPECT_LE(threads.size(), std::min<std::size_t>(row.workers, row.count));
    EXPECT_EQ(std::count(threads.begin(), threads.end(), caller), 0);  // the caller only draws
    // Nothing to do, nothing drawn; else at least the last drawing, always by the caller.
    EXPECT_EQ(tickedOn.empty(), row.count == 0);
    EXPECT_EQ(std::count(tickedOn.begin(), tickedOn.end(), caller), static_cast<std::ptrdiff_t>(tickedOn.size()));
  }
}

TEST(JobLine, RunsJobsInOrderBesideThePoster) {
  // Posted faster than they run: each waits for the one before, none is lost, Drain waits for
  // the last, and a job may be posted while another runs.
  std::vector<int> ran;
  std::atomic<int> running{0};
  bool overlapped = false;
  JobLine line;
  for (int i = 0; i < 50; ++i) {
    line.Post([&ran, &running, &overlapped, i] {
      overlapped = overlapped || running.fetch_add(1) != 0;
      Sleep(i % 5 == 0 ? 2 : 0);
      ran.push_back(i);
      running.fetch_sub(1);
    });
  }
  line.Drain();
  ASSERT_EQ(ran.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(ran[static_cast<std::size_t>(i)], i);
  EXPECT_FALSE(overlapped);
  line.Post([&ran] { ran.push_back(50); });
  line.Drain();
  EXPECT_EQ(ran.back(), 50);
}

}  // namespace
