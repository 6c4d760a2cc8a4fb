#pragma once
// The Intel HEX image writer: one record per output report, in text order, up
// to the first record of length 00. The bootloader interprets the records; the
// host checks only that every line can be sent whole before it sends any.
#include <cstdint>
#include <span>

#include "hid/HIDHelper.h"
#include "loader/md5/Md5.h"
#include "platform/WriteProgress.h"

// Sends the records of `text`, adding each record's data to `md5`. Logs the
// line count with `totalLinesFormat`; tells `progress`, if any, how the write goes.
// 1 when every record up to the end record was sent (or the text ended without
// one), 0 when the text was refused or a send failed.
int SendHexRecords(CHIDHelper& helper, CMd5& md5, std::span<const std::uint8_t> text, const char* totalLinesFormat,
                   CWriteProgress* progress);
