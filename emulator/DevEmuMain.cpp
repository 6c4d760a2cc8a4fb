// quillon-devemu: serves one emulated device on a vhid bus directory or through uhid until SIGTERM or SIGINT.
#include <sched.h>
#include <signal.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/DevEmuOptions.h"
#include "emulator/DeviceEmulator.h"

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
  // drops events past 32. The event reader alone at real-time priority is not
  // enough: it still waits for the loop or the chip thread when one of them,
  // preempted by the writing host, holds the event queue's lock (or the
  // allocator's). So the whole program runs at real-time priority where the
  // system allows it; the threads started below inherit it.
  if (options->uhid) {
    sched_param priority{};
    priority.sched_priority = 1;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0)
      std::fprintf(stderr, "quillon-devemu: no real-time priority; the kernel may drop host writes under load\n");
  }
  CDeviceEmulator emulator(options->config);
  if (options->uhid ? !emulator.StartOnUhid() : !emulator.Start(options->bus)) {
    std::fprintf(stderr, "quillon-devemu: cannot serve %s (or open the trace file)\n",
                 options->uhid ? "/dev/uhid" : options->bus.c_str());
    return 1;
  }
  std::fprintf(stderr, "quillon-devemu: serving %s\n", emulator.SocketPath().c_str());
  int received = 0;
  sigwait(&signals, &received);
  emulator.Stop();
  return 0;
}
