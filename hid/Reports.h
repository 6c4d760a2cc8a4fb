#pragma once
// The device's report framing and the index of every command the updater sends.
// Output reports: byte 0 report ID 0, byte 1 command group, byte 2 command code,
// parameters from byte 3. Interrupt input reports: byte 0 report ID 0, byte 2
// report kind (an answer carries its request's group there).
//
// The accessors below take any buffer: a report the device sent is not trusted,
// so a field it does not reach reads as absent and a write outside the buffer
// writes nothing.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

inline constexpr std::size_t kOutputReportLength = 65;
inline constexpr std::size_t kInputReportLength = 32;

// Command groups (output byte 1) and input report kinds (input byte 2).
inline constexpr std::uint8_t CMD_GROUP_SYSTEM = 0x3E;
inline constexpr std::uint8_t CMD_GROUP_LOADER = 0x3F;
inline constexpr std::uint8_t CMD_GROUP_UART_DATA = 0x28;
inline constexpr std::uint8_t CMD_GROUP_I2C_WRITE = 0x20;
inline constexpr std::uint8_t REPORT_KIND_STATUS = 0xEE;

// Bootloader status word value meaning success: the bytes 'O', 'K', 0, 0.
inline constexpr std::uint32_t STATUS_OK = 0x4B4F;

// CMD_GROUP_SYSTEM codes.
inline constexpr std::uint8_t SYS_GET_MCU_COUNT = 0x01;
inline constexpr std::uint8_t SYS_GET_MCU_TYPE = 0x02;
inline constexpr std::uint8_t SYS_GET_MCU_VERSION = 0x03;
inline constexpr std::uint8_t SYS_UART_BRIDGE_ENTER = 0x06;
inline constexpr std::uint8_t SYS_UART_BRIDGE_EXIT = 0x07;
inline constexpr std::uint8_t SYS_PRE_ENTER_LOADER = 0x0B;
inline constexpr std::uint8_t SYS_ENTER_LOADER = 0xFC;
inline constexpr std::uint8_t SYS_EXIT_LOADER = 0xFE;

// CMD_GROUP_LOADER codes.
inline constexpr std::uint8_t LDR_GET_VERSION = 0x80;
inline constexpr std::uint8_t LDR_BEGIN = 0x81;
inline constexpr std::uint8_t LDR_WRITE_RECORD = 0x82;
inline constexpr std::uint8_t LDR_FINISH = 0x88;
inline constexpr std::uint8_t LDR_M_GET_VERSION = 0x90;
inline constexpr std::uint8_t LDR_M_ERASE_BLOCK = 0x91;
inline constexpr std::uint8_t LDR_M_WRITE = 0x93;
inline constexpr std::uint8_t LDR_M_FINISH = 0x98;

// Processor type codes the device reports (the answer value of SYS_GET_MCU_TYPE).
inline constexpr std::uint32_t MCU_CODE_M = 8;
inline constexpr std::uint32_t MCU_CODE_BT_A = 13;
inline constexpr std::uint32_t MCU_CODE_BT_B = 14;
inline constexpr std::uint32_t MCU_CODE_L = 33;

// Where the fields sit.
inline constexpr std::size_t kRequestGroupByte = 1;
inline constexpr std::size_t kRequestCodeByte = 2;
inline constexpr std::size_t kRequestParametersByte = 3;
inline constexpr std::size_t kInputKindByte = 2;
// An answer's status: kNegativeAnswer for a refusal; a loader's 0 for "done".
inline constexpr std::size_t kAnswerStatusByte = 3;
// The value an inventory query or an I2C write answers with.
inline constexpr std::size_t kAnswerValueByte = 4;
// The four version bytes of a processor version answer.
inline constexpr std::size_t kAnswerVersionByte = 4;
inline constexpr std::size_t kAnswerVersionLength = 4;
// The status word of a status report, little-endian.
inline constexpr std::size_t kStatusWordByte = 3;
inline constexpr std::size_t kStatusWordLength = 4;
// UART data and loader records: a byte count, then the bytes.
inline constexpr std::size_t kPayloadCountByte = 3;
inline constexpr std::size_t kPayloadByte = 4;
// A loader's version answer: major, then minor.
inline constexpr std::size_t kLoaderVersionByte = 3;

inline constexpr std::uint8_t kNegativeAnswer = 0x80;
// Most UART bytes one input report carries.
inline constexpr std::size_t kInputPayloadMax = kInputReportLength - kPayloadByte;

struct LoaderVersion {
  std::uint8_t major = 0;
  std::uint8_t minor = 0;
};

constexpr std::optional<std::uint8_t> ReportByte(std::span<const std::uint8_t> report, std::size_t index) {
  if (index >= report.size()) return std::nullopt;
  return report[index];
}

constexpr void PutReportByte(std::span<std::uint8_t> report, std::size_t index, std::uint8_t value) {
  if (index < report.size()) report[index] = value;
}

constexpr std::optional<std::uint8_t> RequestGroup(std::span<const std::uint8_t> request) {
  return ReportByte(request, kRequestGroupByte);
}

constexpr std::optional<std::uint8_t> InputKind(std::span<const std::uint8_t> report) {
  return ReportByte(report, kInputKindByte);
}

// True when `answer` carries the group of `request`, as the device's answer to it does.
constexpr bool IsAnswerTo(std::span<const std::uint8_t> answer, std::span<const std::uint8_t> request) {
  const std::optional<std::uint8_t> kind = InputKind(answer);
  const std::optional<std::uint8_t> group = RequestGroup(request);
  return kind && group && *kind == *group;
}

constexpr std::optional<std::uint8_t> AnswerStatus(std::span<const std::uint8_t> answer) {
  return ReportByte(answer, kAnswerStatusByte);
}

constexpr bool IsNegativeAnswer(std::span<const std::uint8_t> answer) {
  return AnswerStatus(answer) == kNegativeAnswer;
}

constexpr std::optional<std::uint8_t> AnswerValue(std::span<const std::uint8_t> answer) {
  return ReportByte(answer, kAnswerValueByte);
}

constexpr std::optional<std::array<std::uint8_t, kAnswerVersionLength>> AnswerVersionBytes(
    std::span<const std::uint8_t> answer) {
  if (answer.size() < kAnswerVersionByte + kAnswerVersionLength) return std::nullopt;
  std::array<std::uint8_t, kAnswerVersionLength> bytes{};
  std::copy_n(answer.begin() + kAnswerVersionByte, kAnswerVersionLength, bytes.begin());
  return bytes;
}

// The status word of a status report; absent for any other report or one cut short.
constexpr std::optional<std::uint32_t> StatusWordOf(std::span<const std::uint8_t> report) {
  if (InputKind(report) != REPORT_KIND_STATUS || report.size() < kStatusWordByte + kStatusWordLength)
    return std::nullopt;
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < kStatusWordLength; ++i)
    word |= static_cast<std::uint32_t>(report[kStatusWordByte + i]) << (8 * i);
  return word;
}

// The UART bytes of a UART data report: as many as its count claims, but no
// more than one report carries nor more than arrived. Absent for any other
// report or one without its count.
constexpr std::optional<std::span<const std::uint8_t>> UartDataOf(std::span<const std::uint8_t> report) {
  if (InputKind(report) != CMD_GROUP_UART_DATA || report.size() < kPayloadByte) return std::nullopt;
  const std::size_t count =
      std::min({static_cast<std::size_t>(report[kPayloadCountByte]), kInputPayloadMax, report.size() - kPayloadByte});
  return report.subspan(kPayloadByte, count);
}

constexpr std::optional<LoaderVersion> LoaderVersionOf(std::span<const std::uint8_t> answer) {
  if (answer.size() < kLoaderVersionByte + 2) return std::nullopt;
  return LoaderVersion{answer[kLoaderVersionByte], answer[kLoaderVersionByte + 1]};
}

constexpr void PutLoaderVersion(std::span<std::uint8_t> answer, LoaderVersion version) {
  PutReportByte(answer, kLoaderVersionByte, version.major);
  PutReportByte(answer, kLoaderVersionByte + 1, version.minor);
}

constexpr void SetRequestCode(std::span<std::uint8_t> request, std::uint8_t code) {
  PutReportByte(request, kRequestCodeByte, code);
}

constexpr void SetRequestHeader(std::span<std::uint8_t> request, std::uint8_t group, std::uint8_t code) {
  PutReportByte(request, kRequestGroupByte, group);
  SetRequestCode(request, code);
}

// The parameter bytes of a request; empty when the buffer ends before them.
constexpr std::span<std::uint8_t> RequestParameters(std::span<std::uint8_t> request) {
  return request.size() > kRequestParametersByte ? request.subspan(kRequestParametersByte)
                                                 : std::span<std::uint8_t>();
}

constexpr void SetPayloadCount(std::span<std::uint8_t> report, std::uint8_t count) {
  PutReportByte(report, kPayloadCountByte, count);
}

// The payload bytes after the count; empty when the buffer ends before them.
constexpr std::span<std::uint8_t> RequestPayload(std::span<std::uint8_t> report) {
  return report.size() > kPayloadByte ? report.subspan(kPayloadByte) : std::span<std::uint8_t>();
}
