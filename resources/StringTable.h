#pragma once
// The user-visible texts, looked up by their string number.
#include <string>

inline constexpr int IDS_ABOUTBOX = 101;
inline constexpr int IDS_UPGRADING = 104;
inline constexpr int IDS_NOT_CONNECTED = 110;
inline constexpr int IDS_CURRENT_VERSION = 114;
inline constexpr int IDS_VERSION_UNKNOWN = 115;
inline constexpr int IDS_RELOADING = 119;
inline constexpr int IDS_ALREADY_RUNNING = 121;
inline constexpr int IDS_WILL_UPGRADE = 123;
inline constexpr int IDS_PRESS_UPGRADE = 124;
inline constexpr int IDS_INITIALIZING = 136;
inline constexpr int IDS_IMAGE_NOT_FOR_PART = 137;
inline constexpr int IDS_NOTHING_UPGRADED = 140;

// The text of string `id`; empty when the table has no such string.
std::string LoadStringById(int id);
