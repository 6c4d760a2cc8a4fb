// quillon-devemu: serves one emulated device on a vhid bus directory, through uhid or as a USB device until SIGTERM or SIGINT.
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/DevEmuOptions.h"
#include "emulator/DeviceEmulator.h"
#include "emulator/UhidDevice.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  std::string error;
  const std::optional<DevEmuOptions> options = ParseDevEmuOptions(arguments, error);
  if (!options) {
    std::fprintf(stderr, "quillon-devemu: %s\n%s", error.c_str(), DevEmuUsage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(DevEmuUsage().c_str(), stdout);
    return 0;
  }

  // The signals are taken synchronously by sigwait, so no handler runs inside the emulator.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // Through uhid the host's writes never wait for the device, and the kernel
  // drops what the device does not take at once.
  if (options->uhid && !UseRealTimePriority())
    std::fprintf(stderr, "quillon-devemu: no real-time priority; the kernel may drop host writes under load\n");
  CDeviceEmulator emulator(options->config);
  const bool started = options->uhid  ? emulator.StartOnUhid()
                       : options->usb ? emulator.StartOnUsbGadget(options->udc)
                                      : emulator.Start(options->bus);
  if (!started) {
    const std::string what = options->uhid ? "/dev/uhid"
                             : options->usb ? "a USB device controller" + (options->udc.empty() ? "" : " (" + options->udc + ")")
                                            : options->bus;
    std::fprintf(stderr, "quillon-devemu: cannot serve %s (or open the trace file)\n", what.c_str());
    return 1;
  }
  std::fprintf(stderr, "quillon-devemu: serving %s\n", emulator.SocketPath().c_str());
  int received = 0;
  sigwait(&signals, &received);
  emulator.Stop();
  if (const std::string summary = emulator.ChipLinkSummary(); !summary.empty())
    std::fprintf(stderr, "quillon-devemu: bluetooth link: %s\n", summary.c_str());
  return 0;
}
