// The sleep lock through a system power request: while the request is set,
// Windows does not put the machine to sleep on idle, and `powercfg /requests`
// names the reason. The request is a handle, so any thread may release it,
// and the system drops it when the process ends, however it ends.
#include <windows.h>

#include <string>

#include "app/log/Log.h"
#include "app/log/Utf16Text.h"
#include "platform/SleepInhibitor.h"

namespace {

class CPowerRequest final : public CSleepInhibitor {
 public:
  explicit CPowerRequest(HANDLE request) : m_request(request) {}
  ~CPowerRequest() override {
    PowerClearRequest(m_request, PowerRequestSystemRequired);
    CloseHandle(m_request);
    LogMessage("CSleepInhibitor - Sleep no longer held off");
  }
  CPowerRequest(const CPowerRequest&) = delete;
  CPowerRequest& operator=(const CPowerRequest&) = delete;

 private:
  HANDLE m_request;
};

}  // namespace

std::unique_ptr<CSleepInhibitor> InhibitSleepAndShutdown(const std::string& why) {
  const std::u16string reason16 = Utf8ToUtf16(why);
  std::wstring reason(reason16.begin(), reason16.end());
  REASON_CONTEXT context{};
  context.Version = POWER_REQUEST_CONTEXT_VERSION;
  context.Flags = POWER_REQUEST_CONTEXT_SIMPLE_STRING;
  context.Reason.SimpleReasonString = reason.data();
  HANDLE request = PowerCreateRequest(&context);
  if (request == INVALID_HANDLE_VALUE || request == nullptr) {
    LogMessage("CSleepInhibitor - No power request [error %u], going on without holding off sleep",
               static_cast<unsigned>(GetLastError()));
    return nullptr;
  }
  if (!PowerSetRequest(request, PowerRequestSystemRequired)) {
    LogMessage("CSleepInhibitor - Power request refused [error %u], going on without holding off sleep",
               static_cast<unsigned>(GetLastError()));
    CloseHandle(request);
    return nullptr;
  }
  // The reason is in the user's language; the log keeps to English.
  LogMessage("CSleepInhibitor - Sleep held off");
  return std::make_unique<CPowerRequest>(request);
}
