#pragma once
// CDemoDevice: the device emulator program started on a private bus directory,
// for a demonstration of the upgrade on a machine with no device. The emulator
// program "quillon-devemu" is looked up beside the updater's own executable.
// The destructor stops the emulator (SIGTERM, then waits for it) and removes
// the bus directory.
#include <sys/types.h>

#include <optional>
#include <string>

inline constexpr char kEmulatorProgramName[] = "quillon-devemu";

class CDemoDevice {
 public:
  CDemoDevice() = default;
  ~CDemoDevice();
  CDemoDevice(const CDemoDevice&) = delete;
  CDemoDevice& operator=(const CDemoDevice&) = delete;

  // Creates the bus directory, starts the emulator on it (running its clock
  // `timeScale` times faster when given, like the updater's) and waits
  // (bounded) until a device socket appears. False with Error() set when any
  // step fails; whatever was started is then already undone.
  bool Start(std::optional<double> timeScale = std::nullopt);
  void Stop();

  const std::string& BusDirectory() const { return m_busDirectory; }
  const std::string& EmulatorPath() const { return m_emulatorPath; }
  const std::string& Error() const { return m_error; }

 private:
  bool Fail(std::string message);

  std::string m_busDirectory;
  std::string m_emulatorPath;
  std::string m_error;
  pid_t m_pid = -1;
};
