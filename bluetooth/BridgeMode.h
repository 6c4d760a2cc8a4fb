#pragma once
// The device's UART bridge mode, switched by a system command: while it is on,
// the microcontroller passes bytes between HID reports and the chip's UART.
#include "hid/HIDHelper.h"

// Sends the bridge command: enter when `enter` is 1, leave otherwise.
void SendUartBridgeMode(CHIDHelper& helper, int enter);

// Restarts the channel's reader so that it hands every UART data report to the
// bridge's receive queue.
void RouteUartDataToBridge(CHIDHelper& helper);
