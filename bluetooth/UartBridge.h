#pragma once
// The UART byte transport between the host and the Bluetooth chip, carried in
// HID reports while the microcontroller runs its UART bridge mode.
//
// Output: bytes are batched into one static 65-byte report (00 28 00 n data...)
// and sent with a SET_REPORT (Output) request when 60 bytes are pending or a
// frame's closing delimiter 0xC0 was added. A frame's opening delimiter starts
// the report instead: the bridge hands bytes to the UART and reads no frames,
// so where a report begins in the byte stream means nothing to the device,
// and the frame's end still closes its report. Input: the HID reader thread
// hands every UART data report to UartRxPush, which appends its bytes to a
// 1024-byte single-producer/single-consumer ring that the upgrade thread
// drains.
//
// Plain module with static state and no heap use. The output side and the
// ring's consumer run on the upgrade thread; UartRxPush runs on the reader.
#include <chrono>
#include <cstdint>
#include <span>

#include "platform/HidDevice.h"

// Output reports go to `handle` from now on; a null handle makes UartPutByte
// drop every byte. Only a weak reference is kept, so a device that has been
// closed meanwhile is never written to. Bytes batched for the previous handle
// and not yet sent are discarded.
void UartBridgeSetHandle(const HidHandle& handle);

// Appends one byte to the outgoing report; sends the report when it holds 60
// bytes or the byte is 0xC0. Send failures are ignored (the link layer repeats).
void UartPutByte(std::uint8_t byte);

// Appends a delimiter 0xC0 that does not send the report, which is sent only
// once it holds 60 bytes or a frame ends: a frame's opening delimiter (the
// rest of the frame follows at once), or the closing delimiter of a frame that
// the next frame follows at once, so that both share a report. Bytes still
// pending at an opening delimiter belong to an abandoned frame and share the report.
void UartPutHeldDelimiter();

// Takes the oldest received byte into `byte`; false (and nothing changed) when
// the queue is empty.
bool UartGetByte(std::uint8_t& byte);

// True when at least one received byte is waiting.
bool UartRxPending();

// One input report exactly as received (`report.size()` = bytes that arrived).
// Byte 2 = 0x28 marks UART data: byte 3 = n, bytes 4..4+n-1 are queued in
// order, n clamped to 28 and to the bytes present. Once the queue is full the
// rest of the report is dropped. Other reports add nothing.
void UartRxPush(std::span<const std::uint8_t> report);

// Blocks the consumer until a received byte is waiting or `realTimeout` of
// real time has passed, without spinning; UartRxPush wakes it. True when a
// byte is waiting.
bool UartRxWaitFor(std::chrono::nanoseconds realTimeout);

// Sizes of the transport.
inline constexpr std::size_t kUartReportDataMax = 60;    // UART bytes per output report
inline constexpr std::size_t kUartInputDataMax = 28;     // UART bytes per input report
inline constexpr std::size_t kUartRxQueueSize = 1024;    // ring slots; holds at most 1023 bytes
