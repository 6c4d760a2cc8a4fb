// Arbitrary input reports as a device's answers to the upgrader: the processor
// inventory (count, type and version queries), then, for a main microcontroller,
// the bootloader's begin and finish with their status reports. The upgrader runs
// against the scripted device double; a model worked out from the reports alone
// says what it must make of them: every value comes from an answer that carried
// it (a short answer is a failed query), type codes only give the interface types
// of the table, the inventory stops at the first query without an answer, and
// begin and finish succeed exactly when the loader's version is 3 and the status
// the device sent after the request is 'OK'.
//
// Input: byte 0 picks the active processor (modulo the count), then the
// device's answers in the order the host asks:
//   for each report the host sends, a batch: one byte n (low 3 bits: 0..7
//   reports), then n reports, each a length byte (modulo 33) and its bytes;
//   for each GET_REPORT (Input), a length byte (modulo 66; 0: the request fails)
//   and its bytes.
// Past the end of the input the device stays silent.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "hid/Reports.h"
#include "platform/Clock.h"
#include "platform/testing/FakeHidDevice.h"
#include "upgrader/UpgradeLPC18XX.h"

namespace {

using Report = CFakeHidDevice::Report;

constexpr std::size_t kReaderReportBytes = 32;
constexpr auto kIdleBound = std::chrono::seconds(10);
// Time scales while the host waits. A batch that holds the awaited report is
// waited for at a scale that leaves the reader ample real time even on a busy
// machine (half a second for an answer, a fifth for the shortest status wait,
// whose polls sleep 2 ms each); one without it runs the waits out within
// microseconds.
constexpr double kAnswerScale = 1;
constexpr double kStatusScale = 5;
constexpr double kSilenceScale = 100000;

// The device's side of the input, consumed in the order the host asks.
class CInputCursor {
 public:
  explicit CInputCursor(std::span<const std::uint8_t> data) : m_data(data) {}

  std::uint8_t Byte() {
    if (m_data.empty()) return 0;
    const std::uint8_t value = m_data.front();
    m_data = m_data.subspan(1);
    return value;
  }
  Report Bytes(std::size_t length) {
    length = std::min(length, m_data.size());
    Report bytes(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(length));
    m_data = m_data.subspan(length);
    return bytes;
  }
  std::vector<Report> Batch() {
    std::vector<Report> reports(Byte() & 0x07);
    for (Report& report : reports) report = Bytes(Byte() % (kReaderReportBytes + 1));
    return reports;
  }

 private:
  std::span<const std::uint8_t> m_data;
};

bool AnswersGroup(const Report& report, std::uint8_t group) { return report.size() > 2 && report[2] == group; }

std::optional<std::uint32_t> StatusOf(const Report& report) {
  if (report.size() < 7 || report[2] != REPORT_KIND_STATUS) return std::nullopt;
  return std::uint32_t{report[3]} | std::uint32_t{report[4]} << 8 | std::uint32_t{report[5]} << 16 |
         std::uint32_t{report[6]} << 24;
}

// The batch up to the report the request awaits, if it holds one: reports
// after it would reach the host only after the wait ended, at a moment no
// model can foresee. A transaction awaits the first report of its group; a
// loader request the first non-zero status.
std::vector<Report> UpToAwaited(std::vector<Report> batch, const Report& request, bool& holdsAwaited) {
  const bool transaction = request[1] == CMD_GROUP_SYSTEM;
  const auto awaited = std::find_if(batch.begin(), batch.end(), [&](const Report& report) {
    if (transaction) return AnswersGroup(report, request[1]);
    const auto status = StatusOf(report);
    return status.has_value() && *status != 0;
  });
  holdsAwaited = awaited != batch.end();
  if (holdsAwaited) batch.erase(awaited + 1, batch.end());
  return batch;
}

// The scripted device: each report the host sends takes the next batch, each
// GET_REPORT the next record. Every batch the host sent before is fully read
// before the next one starts.
struct ScriptedDevice {
  std::shared_ptr<CFakeHidDevice> device = std::make_shared<CFakeHidDevice>();
  std::vector<std::vector<Report>> batches;  // as sent, one per request
  std::vector<Report> inputRecords;          // GET_REPORT answers, empty: failed

  explicit ScriptedDevice(CInputCursor& input) {
    device->onSend = [this, &input](const Report& request) {
      FUZZ_CHECK(device->WaitUntilReaderIdle(kIdleBound));
      bool holdsAwaited = false;
      batches.push_back(UpToAwaited(input.Batch(), request, holdsAwaited));
      const double awaitedScale = request[1] == CMD_GROUP_SYSTEM ? kAnswerScale : kStatusScale;
      Clock::SetTimeScale(holdsAwaited ? awaitedScale : kSilenceScale);
      for (const Report& report : batches.back()) device->PushInputReport(report);
    };
    device->onGetInputReport = [this, &input](std::span<std::uint8_t> report) {
      FUZZ_CHECK(device->WaitUntilReaderIdle(kIdleBound));
      inputRecords.push_back(input.Bytes(input.Byte() % (kOutputReportLength + 1)));
      const Report& record = inputRecords.back();
      std::copy_n(record.begin(), std::min(record.size(), report.size()), report.begin());
      return !record.empty();
    };
  }
};

// The upgrader on the scripted device, with its inventory in view.
class CFuzzedUpgrader : public CUpgradeLPC18XX {
 public:
  void Attach(const HidHandle& device) {
    m_helper.AttachDevice(device);
    m_helper.StartHIDInterruptThread();
  }
  void EnterBootloaderIdentity() { m_isBootloader = 1; }
  std::uint32_t Type(std::uint32_t index) const { return TypeCodeAt(index); }
  McuVersion Version(std::uint32_t index) const { return VersionAt(index); }
  std::uint16_t Block(std::uint32_t index) const { return BlockSizeAt(index); }
};

// The processor types the upgrader knows: type code, interface type, block length.
struct KnownType {
  std::uint32_t code;
  std::uint32_t interface;
  std::uint16_t block;
};
constexpr KnownType kKnownTypes[] = {{MCU_CODE_M, AXFLASH_MCU_TYPE_M, 48},
                                     {MCU_CODE_BT_A, AXFLASH_MCU_TYPE_B, 32},
                                     {MCU_CODE_BT_B, AXFLASH_MCU_TYPE_B, 32},
                                     {MCU_CODE_L, AXFLASH_MCU_TYPE_P, 32}};

// The entry of `code`; an unknown code has interface type 0 and block length 0.
KnownType Known(std::uint32_t code) {
  for (const KnownType& type : kKnownTypes) {
    if (type.code == code) return type;
  }
  return {code, 0, 0};
}

// What the answer to the request with batch `batch` carried: its length and bytes.
std::optional<Report> AnswerIn(const std::vector<Report>& batch) {
  if (batch.empty() || !AnswersGroup(batch.back(), CMD_GROUP_SYSTEM)) return std::nullopt;
  return batch.back();
}

// The status a loader request's batch ends in: its non-zero status, else none (0).
std::uint32_t StatusIn(const std::vector<Report>& batch) {
  const auto status = batch.empty() ? std::nullopt : StatusOf(batch.back());
  return status.value_or(0);
}

struct Inventory {
  bool read = false;
  std::uint32_t count = 0;
  std::vector<std::uint32_t> types;
  std::vector<McuVersion> versions;
  std::vector<std::uint16_t> blocks;
  std::size_t queries = 0;
};

// The inventory the batches must give, query by query.
Inventory ExpectedInventory(const std::vector<std::vector<Report>>& batches) {
  Inventory expected;
  std::size_t next = 0;
  auto answer = [&]() -> std::optional<Report> {
    ++expected.queries;
    return next < batches.size() ? AnswerIn(batches[next++]) : std::nullopt;
  };
  const auto count = answer();
  if (!count || count->size() < 5) return expected;
  expected.read = true;
  expected.count = (*count)[4];
  expected.types.assign(expected.count, 0);
  expected.versions.assign(expected.count, 0);
  expected.blocks.assign(expected.count, 0);
  for (std::uint32_t index = 0; index < expected.count; ++index) {
    const auto type = answer();
    if (!type) break;
    if (type->size() >= 5) expected.types[index] = (*type)[4];
    const auto version = answer();
    if (!version) break;
    expected.blocks[index] = version->size() >= 8 ? Known(expected.types[index]).block : 0;
    if (expected.blocks[index] != 0) {
      const Report& v = *version;
      expected.versions[index] = McuVersion{v[4]} << 24 | McuVersion{v[5]} << 16 | McuVersion{v[7]} << 8 | v[6];
    }
  }
  return expected;
}

void CheckInventory(CFuzzedUpgrader& upgrader, const ScriptedDevice& script, int initResult) {
  const Inventory expected = ExpectedInventory(script.batches);
  FUZZ_CHECK(initResult == (expected.read ? 1 : 0));
  FUZZ_CHECK(script.device->Sent().size() == expected.queries);
  FUZZ_CHECK(upgrader.GetMCUCount() == (expected.read ? expected.count : 1u));
  FUZZ_CHECK(upgrader.GetMCUCount() <= 255);
  for (std::uint32_t index = 0; index < expected.count; ++index) {
    const std::uint32_t code = upgrader.Type(index);
    FUZZ_CHECK(code == expected.types[index]);
    FUZZ_CHECK(upgrader.Version(index) == expected.versions[index]);
    FUZZ_CHECK(upgrader.Block(index) == expected.blocks[index]);
    // Only the table's type codes give an interface type; any other leaves the out value.
    std::uint32_t type = 0xA5A5A5A5;
    FUZZ_CHECK(upgrader.GetMCUType(index, &type) == S_OK);
    const std::uint32_t interface = Known(code).interface;
    FUZZ_CHECK(type == (interface != 0 ? interface : 0xA5A5A5A5));
  }
}

// The main microcontroller's begin and finish: 1 exactly when the loader
// answered major version 3 and the status after each request is 'OK'.
void CheckLoaderStatus(CFuzzedUpgrader& upgrader, const ScriptedDevice& script) {
  const std::size_t sentBefore = script.device->Sent().size();
  const std::size_t recordsBefore = script.inputRecords.size();
  const int begun = upgrader.InitFirmwareUpgrade(0);
  FUZZ_CHECK(script.inputRecords.size() == recordsBefore + 1);
  const Report& version = script.inputRecords.back();
  const bool versionRight = !version.empty() && (version.size() > 3 ? version[3] : 0xFF) == 3;
  FUZZ_CHECK(script.device->Sent().size() == sentBefore + (versionRight ? 2 : 1));
  FUZZ_CHECK(begun == (versionRight && StatusIn(script.batches.back()) == STATUS_OK ? 1 : 0));

  const int finished = upgrader.EndFirmwareUpgrade();
  if (begun == 1) {
    FUZZ_CHECK(script.device->Sent().back()[2] == LDR_FINISH);
    FUZZ_CHECK(finished == (StatusIn(script.batches.back()) == STATUS_OK ? 1 : 0));
  } else {
    FUZZ_CHECK(finished == 0);
  }
  FUZZ_CHECK(upgrader.GetUpgradedCount() == static_cast<std::uint32_t>(finished));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CInputCursor input(std::span(data, size));
  const std::uint8_t activeChoice = input.Byte();
  ScriptedDevice script(input);
  {
    CFuzzedUpgrader upgrader;
    upgrader.Attach(script.device);
    CheckInventory(upgrader, script, upgrader.InitMCUData());

    const std::uint32_t count = upgrader.GetMCUCount();
    if (count > 0 && count <= 255 && upgrader.SetActiveMCU(activeChoice % count) == S_OK) {
      const std::uint32_t code = upgrader.Type(upgrader.GetActiveMCU());
      upgrader.EnterBootloaderIdentity();
      FUZZ_CHECK(script.device->WaitUntilReaderIdle(kIdleBound));
      if (code == MCU_CODE_L) {
        CheckLoaderStatus(upgrader, script);
      } else if (Known(code).interface == 0) {
        // A processor without a type is never written: nothing goes to the device.
        const std::size_t sent = script.device->Sent().size();
        FUZZ_CHECK(upgrader.InitFirmwareUpgrade(0) == 0);
        FUZZ_CHECK(upgrader.EndFirmwareUpgrade() == 0);
        FUZZ_CHECK(script.device->Sent().size() == sent);
      }
    }
  }
  Clock::SetTimeScale(1);
  return 0;
}
