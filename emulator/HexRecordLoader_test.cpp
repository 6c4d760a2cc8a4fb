#include "emulator/HexRecordLoader.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "emulator/EmuFlash.h"
#include "emulator/ThirdControllerLoader.h"
#include "emulator/testing/LoaderRecords.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Digest = std::array<std::uint8_t, 16>;

Bytes Linear(std::uint16_t upper) {
  return HexRecord(0x04, 0, {static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper & 0xFF)});
}

struct Session {
  CEmuFlash flash{{{kEmuBankA, kEmuBankSize}, {kEmuBankB, kEmuBankSize}}};
  CEmuHexLoader loader{flash};
  Bytes fed;

  void Send(const Bytes& record) {
    fed.insert(fed.end(), record.begin(), record.end());
    loader.WriteRecord(record);
  }
  std::uint32_t Finish() { return loader.Finish(Md5Of(fed)); }
};

const Bytes kStamp = {'Q', 'V', 'E', 'R', 0x03, 0x10, 0x17, 0x20};

TEST(HexRecordLoader, WritesBothBanksAndConfirmsTheDigest) {
  Session s;
  s.flash.WriteVersionStamp(kEmuMainStampAddress, 0x12052016);
  ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
  EXPECT_EQ(s.flash.VersionAt(kEmuMainStampAddress), 0u) << "begin erases the application and its stamp";

  s.Send(Linear(0x1A00));
  s.Send(HexRecord(0x00, 0x6000, {1, 2, 3, 4}));
  s.Send(HexRecord(0x00, 0x6100, kStamp));
  s.Send(Linear(0x1B00));
  s.Send(HexRecord(0x00, 0x0010, {0xAA, 0xBB}));
  s.Send(HexRecord(0x05, 0, {0x1A, 0x00, 0x62, 0x01}));
  s.Send(HexRecord(0x01, 0, {}));

  EXPECT_EQ(s.Finish(), kEmuStatusOk);
  EXPECT_EQ(s.flash.Read(0x1A006000, 5), (Bytes{1, 2, 3, 4, 0xFF}));
  EXPECT_EQ(s.flash.Read(0x1B000010, 2), (Bytes{0xAA, 0xBB}));
  EXPECT_EQ(s.flash.VersionAt(kEmuMainStampAddress), 0x03102017u);
  EXPECT_EQ(s.loader.EntryPoint(), 0x1A006201u);
  EXPECT_EQ(s.loader.RecordCount(), 7u);
}

// Each case sends one bad record among good ones; the finish must refuse the image.
struct BadRecordCase {
  const char* name;
  Bytes record;
  std::uint16_t upper;
};

void PrintTo(const BadRecordCase& c, std::ostream* os) { *os << c.name; }

class HexRecordLoaderRefuses : public testing::TestWithParam<BadRecordCase> {};

TEST_P(HexRecordLoaderRefuses, AndSaysSoOnlyAtTheFinish) {
  const BadRecordCase& c = GetParam();
  Session s;
  ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
  s.Send(Linear(c.upper));
  s.Send(c.record);
  s.Send(HexRecord(0x00, 0x7000, {9}));
  s.Send(HexRecord(0x01, 0, {}));
  EXPECT_FALSE(s.loader.FirstError().empty());
  EXPECT_EQ(s.Finish(), kEmuStatusRecordRefused);
}

Bytes WithBadChecksum() {
  Bytes record = HexRecord(0x00, 0x6000, {1, 2, 3});
  record.back() ^= 0x01;
  return record;
}

Bytes WithWrongCount() {
  Bytes record = HexRecord(0x00, 0x6000, {1, 2, 3});
  record[0] = 4;
  return record;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HexRecordLoaderRefuses,
    testing::Values(BadRecordCase{"BelowTheApplication", HexRecord(0x00, 0x5FF0, {1, 2}), 0x1A00},
                    BadRecordCase{"CrossingIntoTheApplication", HexRecord(0x00, 0x5FFF, {1, 2}), 0x1A00},
                    BadRecordCase{"BetweenTheBanks", HexRecord(0x00, 0x0000, {1}), 0x1A08},
                    BadRecordCase{"PastBankB", HexRecord(0x00, 0xFFFF, {1, 2}), 0x1B07},
                    BadRecordCase{"BadChecksum", WithBadChecksum(), 0x1A00},
                    BadRecordCase{"CountDisagreesWithLength", WithWrongCount(), 0x1A00},
                    BadRecordCase{"UnknownType", HexRecord(0x07, 0, {1}), 0x1A00},
                    BadRecordCase{"ShortAddressRecord", HexRecord(0x04, 0, {0x1A}), 0x1A00},
                    BadRecordCase{"TooShortToBeARecord", Bytes{0x00, 0x60}, 0x1A00}),
    [](const testing::TestParamInfo<BadRecordCase>& info) { return info.param.name; });

TEST(HexRecordLoader, FinishStatuses) {
  {
    Session s;
    EXPECT_EQ(s.Finish(), kEmuStatusNotBegun);
    EXPECT_EQ(s.loader.Begin(0x1A005FFF), kEmuStatusBadAddress);
    EXPECT_EQ(s.Finish(), kEmuStatusNotBegun);
  }
  {
    Session s;
    ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
    s.Send(HexRecord(0x01, 0, {}));
    Digest wrong = Md5Of(s.fed);
    wrong[15] ^= 0xFF;
    EXPECT_EQ(s.loader.Finish(wrong), kEmuStatusDigestMismatch);
    EXPECT_EQ(s.Finish(), kEmuStatusNotBegun) << "a finish ends the session";
  }
  {
    Session s;
    ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
    EXPECT_EQ(s.Finish(), kEmuStatusOk) << "no record: the digest of nothing";
  }
  {
    Session s;
    ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
    s.loader.RefuseNext();
    s.Send(HexRecord(0x00, 0x6000, {1}));
    EXPECT_EQ(s.Finish(), kEmuStatusRecordRefused);
  }
}

TEST(HexRecordLoader, SecondBeginForgetsTheFirstSession) {
  Session s;
  ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
  s.Send(HexRecord(0x00, 0x6000, {1}));  // no address record yet: address 0x6000, refused
  ASSERT_EQ(s.loader.Begin(kEmuApplicationStart), kEmuStatusOk);
  s.fed.clear();
  s.Send(Linear(0x1A00));
  s.Send(HexRecord(0x00, 0x6000, {1}));
  EXPECT_EQ(s.Finish(), kEmuStatusOk);
}

TEST(EmuFlash, VersionStampNeedsItsMarker) {
  CEmuFlash flash({{0x1000, 0x100}});
  EXPECT_EQ(flash.VersionAt(0x1010), 0u);
  ASSERT_TRUE(flash.WriteVersionStamp(0x1010, 0x28092015));
  EXPECT_EQ(flash.Read(0x1010, 8), (Bytes{'Q', 'V', 'E', 'R', 0x28, 0x09, 0x15, 0x20}));
  EXPECT_EQ(flash.VersionAt(0x1010), 0x28092015u);
  EXPECT_FALSE(flash.WriteVersionStamp(0x10F9, 1)) << "a stamp crossing the bank's end";
  EXPECT_EQ(flash.VersionAt(0x10FC), 0u) << "reading past the bank is erased, not out of bounds";
  flash.Erase(0x1000, 0x100);
  EXPECT_EQ(flash.VersionAt(0x1010), 0u);
  EXPECT_EQ(EmuVersionFromStamp(Bytes{'Q', 'V', 'E', 'R', 1, 2, 3}, 0), 0u) << "short stamp";
}

// Third controller: address, data, checksum per write; digest over exactly those bytes.
Bytes ThirdWrite(std::uint32_t address, const Bytes& data, bool breakChecksum = false) {
  Bytes payload = {static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(address >> 8),
                   static_cast<std::uint8_t>(address >> 16), static_cast<std::uint8_t>(address >> 24)};
  payload.insert(payload.end(), data.begin(), data.end());
  std::uint8_t sum = 0;
  for (std::uint8_t byte : payload) sum = static_cast<std::uint8_t>(sum + byte);
  payload.push_back(static_cast<std::uint8_t>(0x100 - sum + (breakChecksum ? 1 : 0)));
  return payload;
}

TEST(ThirdControllerLoader, WritesAndVerifies) {
  struct Case {
    const char* name;
    std::uint32_t blocksErased;
    Bytes write;
    std::uint32_t expected;
  };
  const Case cases[] = {
      {"Good", 7, ThirdWrite(48, {0x01, 0x02}), kEmuStatusOk},
      {"BadChecksum", 7, ThirdWrite(48, {0x01, 0x02}, true), kEmuStatusRecordRefused},
      {"BlockNotErased", 1, ThirdWrite(0x10000, {0x01}), kEmuStatusRecordRefused},
      {"PastTheLastBlock", 7, ThirdWrite(0x6FFFF, {0x01, 0x02}), kEmuStatusRecordRefused},
      {"TooShort", 7, Bytes{1, 2, 3}, kEmuStatusRecordRefused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CEmuFlash flash({{0, kEmuThirdBlockCount * kEmuThirdBlockSize}});
    CEmuThirdLoader loader(flash);
    for (std::uint32_t block = 0; block < c.blocksErased; ++block) ASSERT_TRUE(loader.EraseBlock(block));
    loader.Write(c.write);
    EXPECT_EQ(loader.Finish(Md5Of(c.write)), c.expected);
    if (c.expected == kEmuStatusOk) {
      EXPECT_EQ(flash.Read(48, 3), (Bytes{0x01, 0x02, 0xFF}));
    }
  }
  CEmuFlash flash({{0, kEmuThirdBlockCount * kEmuThirdBlockSize}});
  CEmuThirdLoader loader(flash);
  EXPECT_FALSE(loader.EraseBlock(7));
  EXPECT_EQ(loader.Finish(Md5Of({})), kEmuStatusNotBegun);
}

}  // namespace
