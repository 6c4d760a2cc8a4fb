#pragma once
// Events that a front end's own threads take from the kernel, handed to the
// emulator's loop: the threads push, the loop waits on ReadyFd() and takes
// them all at once, in the order they were pushed.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <iterator>
#include <mutex>
#include <vector>

template <typename Event>
class CEmuEventQueue {
 public:
  CEmuEventQueue() : m_readyFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~CEmuEventQueue() {
    if (m_readyFd >= 0) close(m_readyFd);
  }
  CEmuEventQueue(const CEmuEventQueue&) = delete;
  CEmuEventQueue& operator=(const CEmuEventQueue&) = delete;

  bool Valid() const { return m_readyFd >= 0; }
  // Readable (POLLIN) while events wait in Take.
  int ReadyFd() const { return m_readyFd; }

  void Push(Event event) {
    bool wasEmpty = false;
    {
      std::lock_guard lock(m_mutex);
      wasEmpty = m_events.empty();
      m_events.push_back(std::move(event));
    }
    const std::uint64_t one = 1;
    if (wasEmpty && write(m_readyFd, &one, sizeof one) < 0) {
      // A saturated counter still reads as ready.
    }
  }

  std::vector<Event> Take() {
    std::uint64_t count = 0;
    if (read(m_readyFd, &count, sizeof count) < 0) {
      // Nothing signalled: the queue is empty or was emptied by the last call.
    }
    std::lock_guard lock(m_mutex);
    std::vector<Event> events(std::make_move_iterator(m_events.begin()), std::make_move_iterator(m_events.end()));
    m_events.clear();
    return events;
  }

 private:
  const int m_readyFd;
  std::mutex m_mutex;
  std::deque<Event> m_events;
};
