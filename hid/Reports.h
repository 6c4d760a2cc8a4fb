#pragma once
// The device's report framing and the index of every command the updater sends.
// Output reports: byte 0 report ID 0, byte 1 command group, byte 2 command code.
// Interrupt input reports: byte 0 report ID 0, byte 2 report kind.
#include <cstddef>
#include <cstdint>

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

// Processor type codes the device reports (answer byte 4 of SYS_GET_MCU_TYPE).
inline constexpr std::uint32_t MCU_CODE_M = 8;
inline constexpr std::uint32_t MCU_CODE_BT_A = 13;
inline constexpr std::uint32_t MCU_CODE_BT_B = 14;
inline constexpr std::uint32_t MCU_CODE_L = 33;
