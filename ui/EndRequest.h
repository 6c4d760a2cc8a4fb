#pragma once
// Requests to end the program (a signal, a console event, the end of the
// session, the dialog's close box) weighed against the run's writing. Outside
// the writing a request is granted at once. While a processor is written (from
// the bootloader entry until the device is back in its application) it is
// noted, and the controller stops the run at the next point where the device
// is safe: after the processor being written, before the next one. A question
// whether the program may end (the session's end, which someone may still
// call off) is answered without granting anything.
#include <mutex>
#include <string>

class CEndRequest {
 public:
  enum class Answer { EndNow, Deferred };

  // `what` names who asked ("SIGTERM", "the close box"); every request is logged.
  Answer Request(const std::string& what);
  // Whether the program may end now if `what` goes ahead: true outside the
  // writing, and the run goes on as before (the end may still be called off);
  // while writing false, and the refusal is noted like a request, so that the
  // run stops once the device is safe.
  bool Query(const std::string& what);
  // The flashing thread, just before the bootloader entry. False when an end
  // was granted already: the run must not begin writing.
  bool BeginWriting();
  // The flashing thread, once the device is back in its application or the run failed.
  void EndWriting();
  // A deferred request waits for the run to stop.
  bool Pending() const;
  // The run ended its writing with a request pending: it was stopped on request.
  bool Stopped() const;

 private:
  // With m_mutex held.
  void Defer(const std::string& what);

  mutable std::mutex m_mutex;
  bool m_writing = false;
  bool m_granted = false;
  int m_deferred = 0;
  bool m_stopped = false;
};
