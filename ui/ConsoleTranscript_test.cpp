#include "ui/ConsoleTranscript.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "resources/StringTable.h"
#include "resources/Translation.h"

namespace {

std::string Transcribe(const std::function<void(CConsoleTranscript&)>& run) {
  std::FILE* out = std::tmpfile();
  if (out == nullptr) return "(no temporary file)";
  {
    CConsoleTranscript transcript(out);
    run(transcript);
  }
  std::rewind(out);
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) text.append(buffer, n);
  std::fclose(out);
  return text;
}

TEST(ConsoleTranscript, PrintsEachNewTextAndByteCountsAtEveryTenth) {
  const std::string text = Transcribe([](CConsoleTranscript& t) {
    t.Title("Aurelix Rho Device Firmware Upgrade");
    t.Title("Aurelix Rho Device Firmware Upgrade");
    t.Version("Current Version: L:160512 A:151022 B:140630");
    for (int done = 0; done <= 1000; done += 50)
      t.Status("Upgrading in progress, please wait...\n" + std::to_string(done) + " of 1000 bytes");
    t.Status("Reloading driver and updating current firmware versions...");
    t.Version("Current Version: L:171003 A:151022 B:150928");
    t.Status("Upgrade is successful");
  });
  std::string expected =
      "Aurelix Rho Device Firmware Upgrade\n"
      "Current Version: L:160512 A:151022 B:140630\n"
      "Upgrading in progress, please wait...\n";
  for (int tenth = 0; tenth <= 10; ++tenth) expected += "  " + std::to_string(tenth * 100) + " of 1000 bytes\n";
  expected +=
      "Reloading driver and updating current firmware versions...\n"
      "Current Version: L:171003 A:151022 B:150928\n"
      "Upgrade is successful\n";
  EXPECT_EQ(text, expected);
}

TEST(ConsoleTranscript, ANewHeadlineRestartsTheByteCount) {
  const std::string text = Transcribe([](CConsoleTranscript& t) {
    t.Status("Upgrading in progress, please wait...\n1000 of 1000 bytes");
    t.Status("Initializing, please wait...");
    t.Status("Upgrading in progress, please wait...\n0 of 500 bytes");
    t.Status("Upgrading in progress, please wait...\nnot a count");
    t.Status("Upgrading in progress, please wait...\n600 of 1000 bytes and more");
  });
  EXPECT_EQ(text,
            "Upgrading in progress, please wait...\n  1000 of 1000 bytes\n"
            "Initializing, please wait...\n"
            "Upgrading in progress, please wait...\n  0 of 500 bytes\n");
}

// The counts are found where the translation puts them.
TEST(ConsoleTranscript, ByteCountsOfATranslationAreFollowed) {
  SetUiLanguage("fr");
  const std::string text = Transcribe([](CConsoleTranscript& t) {
    for (int done = 0; done <= 1000; done += 250) t.Status(UpgradingStatusText(done, 1000));
    t.Status(UpgradingStatusText(1, 0));
  });
  SetUiLanguage("");
  EXPECT_EQ(text,
            "Mise à jour en cours, veuillez patienter...\n  0 octets sur 1000\n  250 octets sur 1000\n"
            "  500 octets sur 1000\n  750 octets sur 1000\n  1000 octets sur 1000\n");
}

}  // namespace
