#include "bluetooth/BridgeMode.h"

#include <array>

#include "app/log/Log.h"
#include "bluetooth/UartBridge.h"
#include "hid/ClassRequest.h"
#include "hid/Reports.h"

void SendUartBridgeMode(CHIDHelper& helper, int enter) {
  std::array<std::uint8_t, kOutputReportLength> report{};
  SetRequestHeader(report, CMD_GROUP_SYSTEM, enter == 1 ? SYS_UART_BRIDGE_ENTER : SYS_UART_BRIDGE_EXIT);
  SendClassRequest(helper, report);
  LogMessage(enter != 0 ? "Entering UART Firmware upgrade mode" : "Exiting UART Firmware upgrade mode");
}

void RouteUartDataToBridge(CHIDHelper& helper) {
  helper.SetUartDataHook(&UartRxPush);
  helper.StopHIDInterruptThread();
  helper.StartHIDInterruptThread();
}
