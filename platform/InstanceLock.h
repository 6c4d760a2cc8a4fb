#pragma once
// A system-wide named lock that marks one running copy of the program.
//
// On Windows it is a named mutex (the name is the product's "Global\..."
// name, seen by every session). On Linux it is a UNIX socket bound to the
// name in the abstract namespace: the name is visible to every process of any
// user (in the same network namespace), a second bind to it fails with
// EADDRINUSE, and the kernel frees it when the holder closes it or dies, even
// after a crash.
//
// The socket does not reach across network namespaces (a copy started with
// `unshare -n` would not see it), so the Linux holder also takes an flock on a
// file in /run/lock, which every namespace of the machine shares. The file
// only adds refusals: when it cannot be opened (another user made it
// unreadable), the socket alone decides, so nobody can weaken the lock through it.
#include <string>
#include <string_view>

// The name every copy of the updater takes.
inline constexpr std::string_view kInstanceLockName = "Global\\{D2B45C67-FC2B-4269-AE40-BFD8B580246B}";

class CInstanceLock {
 public:
  enum class State {
    Held,            // this object holds the lock
    AlreadyRunning,  // another process (or object) holds it
    Unavailable,     // the lock could not be created; nothing is known about other copies
    Released         // this object held the lock and gave it back
  };

  // Tries once to take the lock named `name`; never waits.
  explicit CInstanceLock(std::string_view name = kInstanceLockName);
  ~CInstanceLock();
  CInstanceLock(const CInstanceLock&) = delete;
  CInstanceLock& operator=(const CInstanceLock&) = delete;

  State GetState() const { return m_state; }
  bool AlreadyRunning() const { return m_state == State::AlreadyRunning; }
  // Why the lock is Unavailable (the system's error text); empty otherwise.
  std::string ErrorText() const;

  // Gives the lock back now (the destructor does the same).
  void Release();

 private:
  State m_state = State::Unavailable;
  int m_error = 0;  // errno, or the Windows error code, of the failed call
#ifdef _WIN32
  void* m_mutex = nullptr;
#else
  void TakeLockFile(std::string_view name);

  int m_fd = -1;
  int m_fileFd = -1;
#endif
};
