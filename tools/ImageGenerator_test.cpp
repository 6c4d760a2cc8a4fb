// The stand-in images are checked by independent tools (srec_cat, srec_info,
// dfu-suffix) rather than by a parser of our own, so a misunderstanding of the
// formats cannot hide on both sides.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/testing/TempDirectory.h"
#include "tools/ImageGenerator.h"

namespace {

namespace fs = std::filesystem;

const fs::path kStandInDir = QUILLON_STANDIN_DIR;

std::string ReadText(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  if (error) return {};
  std::string text(size, '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Quote(const fs::path& path) { return "'" + path.string() + "'"; }

bool ToolPresent(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs a shell command line, collecting its standard output and error.
ToolRun RunTool(const std::string& command, const fs::path& scratch) {
  const fs::path out = scratch / "tool.out";
  const fs::path err = scratch / "tool.err";
  ToolRun run;
  const int status = std::system((command + " >" + Quote(out) + " 2>" + Quote(err)).c_str());
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadText(out);
  run.err = ReadText(err);
  return run;
}

class StandInImages : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(m_scratchDirectory.Valid()); }

  CTempDirectory m_scratchDirectory{"quillon-img"};
  const fs::path m_scratch = m_scratchDirectory.Path();
};

#define REQUIRE_TOOL(tool, package)                                                              \
  if (!ToolPresent(tool)) {                                                                      \
    FAIL() << tool " is not installed; this check needs it (Debian package " package "); CI installs it"; \
  }

std::size_t CountLines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST(ImageGenerator, DfuCrcMatchesReferenceVectors) {
  struct Case {
    std::string input;
    std::uint32_t crc;
  };
  // The DFU CRC is CRC-32 without the final inversion: ~0xCBF43926 for "123456789".
  const Case cases[] = {{"", 0xFFFFFFFF}, {"123456789", 0x340BC6D9}, {"a", 0x174841BC}};
  for (const Case& c : cases) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.input.data());
    EXPECT_EQ(DfuCrc({bytes, c.input.size()}), c.crc) << "input \"" << c.input << "\"";
  }
}

TEST(ImageGenerator, FormatsRecordsWithChecksums) {
  const std::uint8_t data[] = {0x02, 0x33, 0x7A};
  const std::uint8_t upper[] = {0x1A, 0x00};
  const std::uint8_t entry[] = {0x1A, 0x00, 0x62, 0x01};
  EXPECT_EQ(FormatHexRecord(0x00, 0x0030, data), ":0300300002337A1E\r\n");
  EXPECT_EQ(FormatHexRecord(0x04, 0, upper), ":020000041A00E0\r\n");
  EXPECT_EQ(FormatHexRecord(0x05, 0, entry), ":040000051A0062017A\r\n");
  EXPECT_EQ(FormatHexRecord(0x01, 0, {}), ":00000001FF\r\n");
}

TEST(ImageGenerator, VersionStampsCarryTheBuiltInVersions) {
  const VersionStamp main = {'Q', 'V', 'E', 'R', 0x03, 0x10, 0x17, 0x20};
  const VersionStamp bluetooth = {'Q', 'V', 'E', 'R', 0x28, 0x09, 0x15, 0x20};
  EXPECT_EQ(kMainVersionStamp, main);
  EXPECT_EQ(kBluetoothVersionStamp, bluetooth);
}

TEST_F(StandInImages, BuildWroteWhatTheGeneratorMakes) {
  const MainImage main = BuildMainImage();
  EXPECT_EQ(ReadText(kStandInDir / "lpc18xx.hex"), main.hexText);
  EXPECT_EQ(ReadBytes(kStandInDir / "lpc18xx.bin"), main.memory);
  EXPECT_EQ(ReadBytes(kStandInDir / "bc08.dfu"), BuildBluetoothImage());
}

TEST_F(StandInImages, HexTextHasTheReleaseSizeAndShape) {
  const std::string text = ReadText(kStandInDir / "lpc18xx.hex");
  ASSERT_EQ(text.size(), kMainHexSize);
  ASSERT_EQ(CountLines(text), kMainHexLines);
  EXPECT_EQ((text.size() - 3 * CountLines(text)) / 2, 587075u);

  std::vector<std::string> upperHalves;
  std::size_t fullRecords = 0;
  std::vector<std::string> otherDataLengths;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos) << "last line lacks its LF";
    const std::string_view line(text.data() + start, end - start);
    ASSERT_GE(line.size(), 12u);
    ASSERT_EQ(line.back(), '\r') << "line without CR at offset " << start;
    ASSERT_EQ(line.front(), ':');
    const std::string_view type = line.substr(7, 2);
    if (type == "04") upperHalves.emplace_back(line.substr(9, 4));
    if (type == "00") {
      if (line.substr(1, 2) == "10") ++fullRecords;
      else otherDataLengths.emplace_back(line.substr(1, 2));
    }
    start = end + 1;
  }
  const std::vector<std::string> expectedHalves = {"1A00", "1A01", "1A02", "1A03",
                                                   "1B00", "1B01", "1B02", "1B03"};
  EXPECT_EQ(upperHalves, expectedHalves);
  EXPECT_EQ(fullRecords, 27952u);
  EXPECT_EQ(otherDataLengths, std::vector<std::string>{"08"});
  EXPECT_TRUE(text.ends_with(":040000051A0062017A\r\n:00000001FF\r\n"));
}

TEST_F(StandInImages, SrecInfoSeesBothBanksAndTheEntryAddress) {
  REQUIRE_TOOL("srec_info", "srecord");
  const ToolRun run = RunTool("srec_info " + Quote(kStandInDir / "lpc18xx.hex") + " -intel", m_scratch);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("Execution Start Address: 1A006201"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1A006000 - 1A03FFFF"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1B000000 - 1B033307"), std::string::npos) << run.out;
}

// srec_cat verifies every record checksum while reading. The two banks are cut
// out and laid one after the other, which is how lpc18xx.bin is laid out.
TEST_F(StandInImages, SrecCatReadsTheHexIntoTheIntendedMemory) {
  REQUIRE_TOOL("srec_cat", "srecord");
  const std::string hex = Quote(kStandInDir / "lpc18xx.hex");
  const fs::path binary = m_scratch / "memory.bin";
  const std::string bankBOffset = std::to_string(static_cast<long long>(kMainBankAUsed) - kMainBankBStart);
  const ToolRun run = RunTool("srec_cat " + hex + " -intel -crop 0x1A006000 0x1A040000 -offset -0x1A006000 " + hex +
                              " -intel -crop 0x1B000000 0x1B040000 -offset " + bankBOffset + " -o " +
                              Quote(binary) + " -binary",
                          m_scratch);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::vector<std::uint8_t> memory = ReadBytes(binary);
  ASSERT_EQ(memory.size(), kMainDataBytes);
  EXPECT_TRUE(memory == ReadBytes(kStandInDir / "lpc18xx.bin")) << "srec_cat's memory differs from lpc18xx.bin";

  const std::size_t stamp = kMainStampAddress - kMainDataStart;
  EXPECT_TRUE(std::equal(kMainVersionStamp.begin(), kMainVersionStamp.end(), memory.begin() + stamp))
      << "no version stamp at 0x1A006100";
}

TEST_F(StandInImages, SrecCatRejectsACorruptedRecord) {
  REQUIRE_TOOL("srec_cat", "srecord");
  std::vector<std::uint8_t> text = ReadBytes(kStandInDir / "lpc18xx.hex");
  ASSERT_GT(text.size(), 100u);
  text[40] = text[40] == '0' ? '1' : '0';  // a data digit of the first data record
  WriteBytes(m_scratch / "bad.hex", text);
  const ToolRun run = RunTool("srec_cat " + Quote(m_scratch / "bad.hex") + " -intel -o " +
                              Quote(m_scratch / "bad.bin") + " -binary",
                          m_scratch);
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.err.find("checksum"), std::string::npos) << run.err;
}

TEST_F(StandInImages, DfuFileHasTheReleaseSizeMagicAndStamp) {
  const std::vector<std::uint8_t> file = ReadBytes(kStandInDir / "bc08.dfu");
  ASSERT_EQ(file.size(), kBluetoothDfuSize);
  EXPECT_EQ(std::string(file.begin(), file.begin() + 8), "CSR-dfu2");
  EXPECT_TRUE(std::equal(kBluetoothVersionStamp.begin(), kBluetoothVersionStamp.end(),
                         file.begin() + kBluetoothStampOffset));
  const std::vector<std::uint8_t> suffixHead(file.end() - 16, file.end() - 4);
  const std::vector<std::uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0x12, 0x0A, 0x00, 0x01, 0x55, 0x46, 0x44, 16};
  EXPECT_EQ(suffixHead, expected);
}

struct DfuSuffixCase {
  const char* name;
  std::ptrdiff_t flipAt;  // offset from the end of the file; 0: untouched
  bool accepted;
};

void PrintTo(const DfuSuffixCase& c, std::ostream* os) { *os << c.name; }

class DfuSuffixCheck : public StandInImages, public ::testing::WithParamInterface<DfuSuffixCase> {};

TEST_P(DfuSuffixCheck, DfuSuffixJudgesTheFile) {
  REQUIRE_TOOL("dfu-suffix", "dfu-util");
  std::vector<std::uint8_t> file = ReadBytes(kStandInDir / "bc08.dfu");
  ASSERT_EQ(file.size(), kBluetoothDfuSize);
  if (GetParam().flipAt != 0) file[file.size() - static_cast<std::size_t>(GetParam().flipAt)] ^= 0x01;
  const fs::path copy = m_scratch / "bc08.dfu";
  WriteBytes(copy, file);
  const ToolRun run = RunTool("dfu-suffix --check " + Quote(copy), m_scratch);
  const std::string said = run.out + run.err;
  if (GetParam().accepted) {
    EXPECT_EQ(run.exitCode, 0) << said;
    EXPECT_NE(said.find("Vendor ID:\t0x0A12"), std::string::npos) << said;
    EXPECT_NE(said.find("Product ID:\t0xFFFF"), std::string::npos) << said;
    EXPECT_NE(said.find("BCD DFU:\t0x0100"), std::string::npos) << said;
  } else {
    EXPECT_NE(run.exitCode, 0) << said;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, DfuSuffixCheck,
                         ::testing::Values(DfuSuffixCase{"StandIn", 0, true},
                                           DfuSuffixCase{"CorruptedData", 100, false},
                                           DfuSuffixCase{"CorruptedSignature", 7, false},
                                           DfuSuffixCase{"CorruptedCrc", 1, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
