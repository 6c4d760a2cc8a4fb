#include "platform/Poll.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

namespace {

struct PollCase {
  const char* name;
  EPollWait wait;
  int succeedsAtTry;  // -1: never
  int expectedTries;
  std::optional<int> expectedResult;
  int minimumPauses;  // pauses that must have passed when the poll returns
};

class PollTest : public ::testing::TestWithParam<PollCase> {};

// The tries stop at the first result, and the pauses fall where the wait says:
// before the first try, or after every failed one including the last.
TEST_P(PollTest, TriesUntilAResultAndPausesWhereTheWaitSays) {
  const PollCase& c = GetParam();
  constexpr std::uint32_t kIntervalMs = 20;
  const std::uint64_t start = Clock::NowMs();
  std::vector<std::uint64_t> triedAt;
  const std::optional<int> result = Poll(4, kIntervalMs, c.wait, [&](int tryNumber) -> std::optional<int> {
    triedAt.push_back(Clock::NowMs() - start);
    if (tryNumber == c.succeedsAtTry) return tryNumber * 10;
    return std::nullopt;
  });
  EXPECT_EQ(static_cast<int>(triedAt.size()), c.expectedTries);
  EXPECT_EQ(result, c.expectedResult);
  EXPECT_GE(Clock::NowMs() - start, static_cast<std::uint64_t>(c.minimumPauses) * kIntervalMs);
  if (c.wait == EPollWait::BeforeEachTry) {
    EXPECT_GE(triedAt.front(), kIntervalMs);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PollTest,
    ::testing::Values(PollCase{"FirstTryBeforeWaits", EPollWait::BeforeEachTry, 0, 1, 0, 1},
                      PollCase{"ThirdTryBeforeWaits", EPollWait::BeforeEachTry, 2, 3, 20, 3},
                      PollCase{"NeverBeforeWaits", EPollWait::BeforeEachTry, -1, 4, std::nullopt, 4},
                      PollCase{"FirstTryAtOnce", EPollWait::AfterEachFailedTry, 0, 1, 0, 0},
                      PollCase{"SecondTryAfterAPause", EPollWait::AfterEachFailedTry, 1, 2, 10, 1},
                      PollCase{"NeverPausesAfterTheLastToo", EPollWait::AfterEachFailedTry, -1, 4, std::nullopt, 4}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
