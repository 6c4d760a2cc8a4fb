// Firmware versions: display, the decision against the built-in versions,
// and the string comparison of the interface.
#include "upgrader/Versions.h"

#include <cstdio>

#include "app/log/Log.h"
#include "hid/Reports.h"

namespace {

constexpr std::size_t kVersionStringLength = 10;

const char* VersionCheckName(int result) {
  switch (result) {
    case CURR_VERSION_CHECK_OLDER:
      return "CURR_VERSION_CHECK_OLDER";
    case CURR_VERSION_CHECK_SAME:
      return "CURR_VERSION_CHECK_SAME";
    case CURR_VERSION_CHECK_NEWER:
      return "CURR_VERSION_CHECK_NEWER";
    default:
      return "CURR_VERSION_CHECK_UNKNOWN";
  }
}

}  // namespace

std::string RenderVersionForCompare(McuVersion version) {
  char text[16];
  std::snprintf(text, sizeof(text), "%04x/%02x/%02x", VersionYear(version), VersionMonth(version),
                VersionDay(version));
  return text;
}

std::string RenderVersionForDisplay(McuVersion version) {
  char text[16];
  std::snprintf(text, sizeof(text), "%02x%02x%02x", VersionYear(version), VersionMonth(version),
                VersionDay(version));
  return text;
}

int CompareVersionTexts(const std::string& builtIn, const std::string& device) {
  const int order = builtIn.compare(device);
  return order > 0 ? 1 : (order < 0 ? -1 : 0);
}

VersionDecision DecideVersions(McuVersion deviceL, McuVersion deviceA, McuVersion deviceB) {
  VersionDecision decision;
  decision.compareL = CompareVersionTexts(RenderVersionForCompare(kBuiltInVersionL), RenderVersionForCompare(deviceL));
  decision.compareA = CompareVersionTexts(RenderVersionForCompare(kBuiltInVersionA), RenderVersionForCompare(deviceA));
  decision.compareB = CompareVersionTexts(RenderVersionForCompare(kBuiltInVersionB), RenderVersionForCompare(deviceB));

  // The third controller is written with the main one: a difference in either
  // decides for both, and a newer device on either side holds both back.
  if (decision.compareL < 0 || decision.compareA < 0) {
    decision.verdictL = -1;
  } else if (decision.compareL > 0 || decision.compareA > 0) {
    decision.verdictL = 1;
  }
  decision.verdictA = 0;
  decision.verdictB = VersionYear(deviceB) == kBluetoothComparedYear ? decision.compareB : 1;

  if (decision.verdictL == 0 && decision.compareB == 0) {
    decision.overallStatus = 1;
  } else if (decision.verdictL > 0 || decision.compareB > 0) {
    decision.overallStatus = 0;
  } else {
    decision.overallStatus = 2;
  }
  return decision;
}

std::uint32_t PackVersionString(const std::string& text) {
  // Unsigned arithmetic throughout: a character below '0' wraps instead of
  // going negative, and the fields overlap rather than carry.
  const auto digit = [&text](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])) - 0x30u; };
  return (digit(0) << 24) | (digit(2) << 16) | ((10u * digit(4) + digit(5)) << 9) |
         ((10u * digit(6) + digit(7)) << 5) | (10u * digit(8) + digit(9));
}

int CFirmwareUpgrade::CompareVersionStrings(std::string currentVersion, std::string newVersion) {
  int result = CURR_VERSION_CHECK_UNKNOWN;
  if (currentVersion.size() == newVersion.size() && currentVersion.size() == kVersionStringLength &&
      currentVersion[0] == newVersion[0]) {
    const std::uint32_t current = PackVersionString(currentVersion);
    const std::uint32_t next = PackVersionString(newVersion);
    LogMessage("Curr Ver[%d][%08X] New Ver[%d][%08x]", current, current, next, next);
    if (current < next) {
      result = CURR_VERSION_CHECK_OLDER;
    } else if (current > next) {
      result = CURR_VERSION_CHECK_NEWER;
    } else {
      result = CURR_VERSION_CHECK_SAME;
    }
  }
  LogMessage("Version Check Result [%s]", VersionCheckName(result));
  return result;
}

int CUpgradeLPC18XX::GetDeviceFWVersionString(std::string* version) {
  LogMessage("L::GetDeviceFWVersionString - m_indexMCU[%d]", m_indexMCU);
  if (version != nullptr) {
    *version = "Version : " + RenderVersionForDisplay(VersionAt(m_indexMCU));
  }
  return 1;
}

int CUpgradeLPC18XX::GetAllFWVersionString(std::string& versions) {
  versions = "L:" + RenderVersionForDisplay(VersionAt(kVersionIndexL)) +
             " A:" + RenderVersionForDisplay(VersionAt(kVersionIndexA)) +
             " B:" + RenderVersionForDisplay(VersionAt(kVersionIndexB));
  return 1;
}

int CUpgradeLPC18XX::VersionCheckingHardcodedCompare() {
  const McuVersion deviceL = VersionAt(kVersionIndexL);
  const McuVersion deviceA = VersionAt(kVersionIndexA);
  const McuVersion deviceB = VersionAt(kVersionIndexB);
  const VersionDecision decision = DecideVersions(deviceL, deviceA, deviceB);
  m_verdictL = decision.verdictL;
  m_verdictA = decision.verdictA;
  m_verdictB = decision.verdictB;

  LogMessage("VersionCheckingHardcodedCompare");
  LogMessage("L: File %s against Dev %s. %d", RenderVersionForCompare(kBuiltInVersionL),
             RenderVersionForCompare(deviceL), m_verdictL);
  LogMessage("B: File %s against Dev %s. %d", RenderVersionForCompare(kBuiltInVersionB),
             RenderVersionForCompare(deviceB), decision.compareB);
  LogMessage("A: File %s against Dev %s. %d", RenderVersionForCompare(kBuiltInVersionA),
             RenderVersionForCompare(deviceA), m_verdictA);
  LogMessage("Overall Status: %d", decision.overallStatus);
  return decision.overallStatus;
}

int CUpgradeLPC18XX::CanUpgradeCurrentActiveMCU() {
  switch (TypeCodeAt(m_indexMCU)) {
    case MCU_CODE_L:
      return m_verdictL;
    case MCU_CODE_M:
      return m_verdictA;
    case MCU_CODE_BT_A:
    case MCU_CODE_BT_B:
      return m_verdictB;
    default:
      return 0;
  }
}
