// quillon-upgrade: the firmware updater's entry point. Long options that only
// print (--help, --version) or are wrong are handled before anything starts:
// no lock is taken and no log is written for them.
#include <cstdio>
#include <string>
#include <vector>

#include "app/EndSignals.h"
#include "app/FlashApp.h"
#include "app/StartOptions.h"
#include "resources/Language.h"
#include "resources/Translation.h"

#ifdef _WIN32
#include <windows.h>

namespace {

// A windowed program gets no console. Started from a command prompt without
// redirection, it writes --help, --version and a failed silent run's line to
// the prompt's console; output a caller redirected stays where it goes.
void UseParentConsole() {
  if (!AttachConsole(ATTACH_PARENT_PROCESS)) return;
  if (GetStdHandle(STD_OUTPUT_HANDLE) == nullptr || GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) == FILE_TYPE_UNKNOWN)
    std::freopen("CONOUT$", "w", stdout);
  if (GetStdHandle(STD_ERROR_HANDLE) == nullptr || GetFileType(GetStdHandle(STD_ERROR_HANDLE)) == FILE_TYPE_UNKNOWN)
    std::freopen("CONOUT$", "w", stderr);
}

}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  UseParentConsole();
#endif
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  CStartOptions options = ParseStartOptions(arguments);
  const std::string programName = "quillon-upgrade";
  if (!options.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", programName.c_str(),
                 options.error.c_str(), programName.c_str());
    return kExitUsageError;
  }
  if (options.help) {
    std::fputs(UsageText(programName).c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs(VersionText().c_str(), stdout);
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
