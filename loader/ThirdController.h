#pragma once
// The third controller type's loader: seven block erases, addressed writes with
// a checksum, and a finish carrying the MD5 digest of everything written.
#include <cstdint>

#include "hid/HIDHelper.h"
#include "loader/md5/Md5.h"

// Checks the loader's version and erases the seven blocks; once the version is
// right, restarts `md5` and sets `writeAddress` to 0. 1 when every erase completed.
int BeginThirdController(CHIDHelper& helper, CMd5& md5, std::uint32_t& writeAddress);

// Writes `length` bytes (at most 56) at `writeAddress` and advances it; 1 when sent.
int WriteThirdController(CHIDHelper& helper, CMd5& md5, std::uint32_t& writeAddress, const std::uint8_t* data,
                         std::uint32_t length);

// Sends the digest of what was written and awaits the loader's verdict; 1 when confirmed.
int FinishThirdController(CHIDHelper& helper, CMd5& md5);
