#pragma once
// Winsock for everything in the process that uses sockets.
#include <winsock2.h>

// Starts Winsock on first use and leaves it running until the process ends;
// false when it cannot start.
inline bool WinsockStarted() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
