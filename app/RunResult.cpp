#include "app/RunResult.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>

#include "app/ExitCode.h"
#include "app/StartOptions.h"
#include "hid/DeviceIdentity.h"
#include "ui/FlashDlg.h"
#include "upgrader/FirmwareUpgrade.h"

namespace {

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string QuotedOrNull(const std::string& text) { return text.empty() ? "null" : Quoted(text); }

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

// UTC, ISO 8601 with milliseconds: "2026-12-09T00:16:16.123Z".
std::string IsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  std::tm parts{};
#ifdef _WIN32
  gmtime_s(&parts, &seconds);
#else
  ::gmtime_r(&seconds, &parts);
#endif
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(milliseconds));
  return text;
}

const char* TypeName(std::optional<std::uint32_t> type) {
  if (!type) return nullptr;
  switch (*type) {
    case AXFLASH_MCU_TYPE_P:
      return "main-microcontroller";
    case AXFLASH_MCU_TYPE_B:
      return "bluetooth";
    case AXFLASH_MCU_TYPE_M:
      return "third-controller";
    default:
      return "other";
  }
}

const char* FailureText(std::int32_t resultCode, bool stoppedOnRequest) {
  if (stoppedOnRequest) return "the upgrade was stopped on request";
  switch (resultCode) {
    case FLASH_RC_NO_DEVICE:
      return "no device was found";
    case FLASH_RC_THREAD_FAILED:
      return "the upgrade could not be started";
    default:
      return "the upgrade of a processor failed";
  }
}

}  // namespace

std::string RunResultJson(const RunResult& result) {
  const RunRecord& record = result.record;
  std::string json = "{\n";
  json += "  \"program\": \"quillon-upgrade\",\n";
  json += "  \"programVersion\": " + Quoted(ProgramVersion()) + ",\n";
  json += "  \"device\": {\"vendorId\": \"" + Hex(kVendorId, 4) + "\", \"productId\": \"" +
          Hex(record.productId, 4) + "\", \"productName\": " + Quoted(record.productName) + "},\n";
  json += "  \"processors\": [";
  for (std::size_t i = 0; i < record.processors.size(); ++i) {
    const ProcessorRecord& processor = record.processors[i];
    const char* const type = TypeName(processor.type);
    json += i == 0 ? "\n" : ",\n";
    json += "    {\"index\": " + std::to_string(i) + ", \"type\": " + (type ? Quoted(type) : "null") +
            ", \"versionBefore\": " + QuotedOrNull(processor.versionBefore) +
            ", \"versionAfter\": " + QuotedOrNull(processor.versionAfter) + ", \"verdict\": \"" +
            VerdictName(processor.verdict) + "\", \"written\": " + (processor.written ? "true" : "false") +
            ", \"outcome\": \"" + OutcomeName(processor.outcome) + "\"}";
  }
  json += record.processors.empty() ? "],\n" : "\n  ],\n";
  json += "  \"exitCode\": " + std::to_string(PosixExitStatus(result.resultCode)) + ",\n";
  json += "  \"resultCode\": \"0x" + Hex(static_cast<std::uint32_t>(result.resultCode), 8) + "\",\n";
  json += "  \"start\": \"" + IsoTime(result.start) + "\",\n";
  json += "  \"end\": \"" + IsoTime(result.end) + "\",\n";
  json += "  \"log\": " + QuotedOrNull(result.keptLog) + "\n";
  return json + "}\n";
}

std::optional<std::string> WriteRunResult(const std::string& path, const std::string& json) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return std::strerror(errno);
  const bool complete = std::fwrite(json.data(), 1, json.size(), file) == json.size();
  const int writeError = errno;
  if (std::fclose(file) != 0) return std::strerror(errno);
  if (!complete) return std::strerror(writeError);
  return std::nullopt;
}

std::string FailureLine(std::int32_t resultCode, bool stoppedOnRequest, const std::string& keptLog) {
  return std::string("quillon-upgrade: ") + FailureText(resultCode, stoppedOnRequest) + " (exit code " +
         ExitCodeText(resultCode) + "); " +
         (keptLog.empty() ? std::string("no log could be written") : "log kept in " + keptLog);
}
