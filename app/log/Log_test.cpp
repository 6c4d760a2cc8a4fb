#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"
#include "platform/testing/TempDirectory.h"

namespace fs = std::filesystem;

namespace {

class LogWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_directory.Valid()); }
  void TearDown() override {
    StopLog();
    DeleteLogFile();
  }

  std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // The messages of the file's lines, each checked for the time stamp and taken off it.
  static std::vector<std::string> Messages(const std::string& path) {
    static const std::regex stamp(R"(^\[\d{2}/\d{2}/\d{4} \d{2}:\d{2}:\d{2}:\d{3}\] )");
    std::vector<std::string> messages;
    std::istringstream in(ReadFile(path));
    std::string line;
    bool continuation = false;  // the line after a message that ends in a newline has no stamp
    while (std::getline(in, line)) {
      std::smatch match;
      if (std::regex_search(line, match, stamp)) {
        messages.push_back(match.suffix());
        continuation = false;
      } else {
        EXPECT_TRUE(continuation || line.empty()) << "line without a time stamp: " << line;
        messages.push_back(line);
      }
    }
    return messages;
  }

  CTempDirectory m_directory{"quillon-log"};
  const fs::path m_dir = m_directory.Path();
};

TEST_F(LogWriterTest, LinesAreStampedAndAMessageEndingInNewlineLeavesAnEmptyLine) {
  const std::string path = PathOf("a.log");
  ASSERT_EQ(StartLog(path), S_OK);
  EXPECT_EQ(LogFilePath(), path);
  LogMessage("Start of Log\n");
  LogMessage("value [%d]", 7);
  LogMessage("End of Log\n");
  EXPECT_EQ(StopLog(), 0);
  const std::string text = ReadFile(path);
  EXPECT_TRUE(text.ends_with("] End of Log\n\n")) << text;
  EXPECT_EQ(Messages(path), (std::vector<std::string>{"Start of Log", "", "value [7]", "End of Log", ""}));
}

TEST_F(LogWriterTest, LongMessageIsCutTo1023Characters) {
  const std::string path = PathOf("long.log");
  ASSERT_EQ(StartLog(path), S_OK);
  const std::string longText(1500, 'a');
  LogMessage("%s", longText);
  LogMessage("x%sy", std::string(1022, 'b'));
  StopLog();
  const auto messages = Messages(path);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], std::string(1023, 'a'));
  EXPECT_EQ(messages[1], "x" + std::string(1022, 'b'));
}

TEST_F(LogWriterTest, ConcurrentLinesAreWholeAndNoneIsLost) {
  const std::string path = PathOf("threads.log");
  ASSERT_EQ(StartLog(path), S_OK);
  constexpr int kThreads = 4;
  constexpr int kLines = 2500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int n = 0; n < kLines; ++n) LogMessage("thread %d line %05d %s", t, n, "padding-padding-padding");
    });
  for (auto& thread : threads) thread.join();
  StopLog();

  const std::regex shape(R"(^thread (\d) line (\d{5}) padding-padding-padding$)");
  int next[kThreads] = {};
  std::size_t count = 0;
  for (const std::string& message : Messages(path)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(message, match, shape)) << message;
    const int t = std::stoi(match[1]);
    ASSERT_LT(t, kThreads);
    // Each thread's lines come in the order it logged them.
    EXPECT_EQ(std::stoi(match[2]), next[t]);
    next[t] = std::stoi(match[2]) + 1;
    ++count;
  }
  EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kLines));
}

TEST_F(LogWriterTest, FileIsCurrentWhileTheWriterRuns) {
  const std::string path = PathOf("current.log");
  ASSERT_EQ(StartLog(path), S_OK);
  LogMessage("first burst");
  // The writer runs on its own; wait (bounded) for it to reach the file.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadFile(path).find("first burst\n") == std::string::npos && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_NE(ReadFile(path).find("first burst\n"), std::string::npos);
}

// A process that ends through exit() while the writer runs and another thread
// still logs (as when the window system exits the program) ends with its own
// status, not an abort, and its log holds what was queued before.
TEST_F(LogWriterTest, ExitWhileTheWriterRunsKeepsTheStatusAndTheLines) {
  const std::string path = PathOf("exit.log");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (StartLog(path) != S_OK) std::_Exit(100);
    std::thread([] {
      for (;;) LogMessage("still logging");
    }).detach();
    LogMessage("before exit");
    std::exit(3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 3);
  EXPECT_NE(ReadFile(path).find("] before exit\n"), std::string::npos);
  fs::remove(path);
}

TEST_F(LogWriterTest, StartAndStopAreSafeInAnyOrder) {
  // Stop without a start, and logging with no writer: both return, nothing is written anywhere.
  EXPECT_EQ(StopLog(), 0);
  {
    LogCapture capture;
    for (int i = 0; i < 1000; ++i) LogMessage("nobody writes this %d", i);
    EXPECT_EQ(capture.Messages().size(), 1000u);
  }
  EXPECT_EQ(LogFilePath(), "");
  EXPECT_FALSE(DeleteLogFile());

  // A second start while running changes nothing.
  const std::string path = PathOf("first.log");
  ASSERT_EQ(StartLog(path), S_OK);
  EXPECT_EQ(StartLog(PathOf("second.log")), S_OK);
  EXPECT_EQ(LogFilePath(), path);
  EXPECT_FALSE(fs::exists(PathOf("second.log")));
  // The running log is not deleted under the writer.
  EXPECT_FALSE(DeleteLogFile());
  LogMessage("kept");
  StopLog();
  EXPECT_EQ(StopLog(), 0);
  LogMessage("after stop");
  EXPECT_EQ(Messages(path), std::vector<std::string>{"kept"});

  // The writer can run again on a new file.
  ASSERT_EQ(StartLog(PathOf("again.log")), S_OK);
  LogMessage("again");
  StopLog();
  EXPECT_EQ(Messages(PathOf("again.log")), std::vector<std::string>{"again"});
}

TEST_F(LogWriterTest, FileThatCannotBeCreatedLeavesTheWriterStopped) {
  EXPECT_EQ(StartLog(PathOf("no-such-dir/x.log")), E_FAIL);
  EXPECT_EQ(LogFilePath(), "");
  LogMessage("dropped");
  EXPECT_EQ(StopLog(), 0);
}

TEST_F(LogWriterTest, TakenNameGetsASuffixAndOnlyOurFileIsDeleted) {
  const ::mode_t oldMask = ::umask(022);
  const std::string taken = PathOf("Upgrade-1.log");
  { std::ofstream(taken) << "another run\n"; }
  // A link planted at the name is not followed: its target is never created.
  ASSERT_EQ(::symlink(PathOf("victim.log").c_str(), PathOf("Upgrade-1-1.log").c_str()), 0);

  ASSERT_EQ(StartLog(taken), S_OK);
  const std::string own = PathOf("Upgrade-1-2.log");
  EXPECT_EQ(LogFilePath(), own);
  LogMessage("ours");
  StopLog();
  ::umask(oldMask);

  struct stat info {};
  ASSERT_EQ(::lstat(own.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(Messages(own), std::vector<std::string>{"ours"});
  EXPECT_EQ(ReadFile(taken), "another run\n");
  EXPECT_FALSE(fs::exists(PathOf("victim.log")));

  EXPECT_TRUE(DeleteLogFile());
  EXPECT_FALSE(fs::exists(own));
  EXPECT_TRUE(fs::exists(taken));
  EXPECT_TRUE(fs::is_symlink(PathOf("Upgrade-1-1.log")));
  EXPECT_FALSE(DeleteLogFile());
}

TEST_F(LogWriterTest, FileReplacedAfterTheRunIsNotDeleted) {
  const std::string path = PathOf("replaced.log");
  ASSERT_EQ(StartLog(path), S_OK);
  StopLog();
  // Someone else's file now stands at the name (moved over it while ours still existed).
  { std::ofstream(PathOf("theirs")) << "not ours\n"; }
  ASSERT_EQ(::rename(PathOf("theirs").c_str(), path.c_str()), 0);
  EXPECT_FALSE(DeleteLogFile());
  EXPECT_EQ(ReadFile(path), "not ours\n");
}

TEST(LogFormat, ConversionsOfTheSystemsMessages) {
  int object = 0;
  const std::int16_t minusFive = -5;
  const std::int16_t minusOne = -1;
  const std::uint16_t all16 = 0xFFFF;
  struct Case {
    std::string expected;
    std::string actual;
  };
  const Case cases[] = {
      {"1A2B", FormatLogMessage("%04X", std::vector<LogArg>{0x1a2b})},
      {"00AB", FormatLogMessage("%04X", std::vector<LogArg>{0xab})},
      {"0000abcd", FormatLogMessage("%08x", std::vector<LogArg>{0xABCDu})},
      {"80004005", FormatLogMessage("%08x", std::vector<LogArg>{static_cast<std::int32_t>(0x80004005u)})},
      {"hRes[80004005]", FormatLogMessage("hRes[%08x]", std::vector<LogArg>{static_cast<std::int32_t>(0x80004005u)})},
      {"-5", FormatLogMessage("%d", std::vector<LogArg>{minusFive})},
      {"ffffffff", FormatLogMessage("%x", std::vector<LogArg>{minusOne})},
      {"65535", FormatLogMessage("%d", std::vector<LogArg>{all16})},
      {"4294967295", FormatLogMessage("%u", std::vector<LogArg>{-1})},
      {"07", FormatLogMessage("%02d", std::vector<LogArg>{7})},
      {"-0042", FormatLogMessage("%05d", std::vector<LogArg>{-42})},
      {"   42", FormatLogMessage("%5d", std::vector<LogArg>{42})},
      {"Aurelix Rho", FormatLogMessage("%ls", std::vector<LogArg>{u"Aurelix Rho"})},
      {"Gr\xC3\xBC\xC3\x9F" "e \xF0\x9F\x8E\xB5", FormatLogMessage("%ls", std::vector<LogArg>{u"Grüße \U0001F3B5"})},
      {"(null)", FormatLogMessage("%ls", std::vector<LogArg>{static_cast<const char16_t*>(nullptr)})},
      {"(null)", FormatLogMessage("%s", std::vector<LogArg>{static_cast<const char*>(nullptr)})},
      {"[X]", FormatLogMessage("[%c]", std::vector<LogArg>{'X'})},
      {"0000000000000000", FormatLogMessage("%p", std::vector<LogArg>{nullptr})},
      {"success[TRUE] 100%", FormatLogMessage("success[%s] 100%%", std::vector<LogArg>{"TRUE"})},
      // A conversion without its argument prints nothing; extra arguments are ignored.
      {"a[] b", FormatLogMessage("a[%d] b", std::vector<LogArg>{})},
      {"x", FormatLogMessage("x", std::vector<LogArg>{1, 2})},
  };
  for (const Case& c : cases) EXPECT_EQ(c.actual, c.expected);

  char expectedPointer[32];
  std::snprintf(expectedPointer, sizeof expectedPointer, "%016llX",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&object)));
  EXPECT_EQ(FormatLogMessage("%p", std::vector<LogArg>{&object}), expectedPointer);
}

TEST(Utf16TextTest, DecodesUtf8AndEncodesItBack) {
  struct Case {
    std::string utf8;
    std::u16string utf16;
  };
  const Case cases[] = {
      {"Aurelix Rho", u"Aurelix Rho"},
      {"\xC3\xA9\xE2\x82\xAC", u"\u00E9\u20AC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"a\xFF" "b", u"a\uFFFDb"},
      {"\xC3", u"\uFFFD"},               // cut short
      {"\xC0\xAF", u"\uFFFD\uFFFD"},     // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
  };
  for (const Case& c : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.utf8.data());
    EXPECT_EQ(Utf8ToUtf16(std::span(bytes, c.utf8.size())), c.utf16) << c.utf8;
  }
  EXPECT_EQ(Utf16ToUtf8(u"\u00E9\u20AC\U0001F600"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  const char16_t loneLead[] = {u'a', 0xD83D, u'b', 0};
  EXPECT_EQ(Utf16ToUtf8(loneLead), "a\xEF\xBF\xBD" "b");
  // A surrogate pair cut by the unit limit is not joined with what lies beyond it.
  const char16_t pair[] = {0xD83D, 0xDE00, 0};
  EXPECT_EQ(Utf16ToUtf8(pair, 1), "\xEF\xBF\xBD");
}

}  // namespace
