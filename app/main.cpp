// quillon-upgrade: the firmware updater's entry point. Long options that only
// print (--help, --version) or are wrong are handled before anything starts:
// no lock is taken and no log is written for them.
#include <string>
#include <vector>

#include "app/CallerOutput.h"
#include "app/EndSignals.h"
#include "app/FlashApp.h"
#include "app/StartOptions.h"
#include "resources/Language.h"
#include "resources/Translation.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  CStartOptions options = ParseStartOptions(arguments);
  const std::string programName = "quillon-upgrade";
  if (!options.error.empty()) {
    WriteForCaller(stderr, programName + ": " + options.error + "\nTry '" + programName +
                               " --help' for more information.\n");
    return kExitUsageError;
  }
  if (options.help) {
    WriteForCaller(stdout, UsageText(programName));
    return 0;
  }
  if (options.version) {
    WriteForCaller(stdout, VersionText());
    return 0;
  }

  // The dialog and its messages speak the user's language; the log stays English.
  SetUiLanguage(UserLanguage());
  CFlashApp app(std::move(options));
  // From here a request to end waits while a processor is written.
  const CEndSignals endSignals(app.EndRequest());
  app.InitInstance();
  return ProcessExitCode(app.ExitInstance());
}
