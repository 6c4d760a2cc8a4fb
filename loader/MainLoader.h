#pragma once
// The main microcontroller's bootloader: version check and begin before the
// records, the MD5 digest of everything sent and the bootloader's verdict after.
#include "hid/HIDHelper.h"
#include "loader/md5/Md5.h"

// Checks the loader's version and begins a write at the image's start address;
// restarts `md5` once the version is right. 1 when the loader confirmed, 0 otherwise.
int BeginMainLoader(CHIDHelper& helper, CMd5& md5);

// Sends the digest of what was written and awaits the loader's verdict; 1 when confirmed.
int FinishMainLoader(CHIDHelper& helper, CMd5& md5);
