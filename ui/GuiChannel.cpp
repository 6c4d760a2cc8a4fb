#include "ui/GuiChannel.h"

CGuiChannel::CGuiChannel() : m_guiThread(std::this_thread::get_id()) {}

void CGuiChannel::Open(Wake wake) {
  std::lock_guard lock(m_mutex);
  m_wake = std::move(wake);
  m_open = true;
}

bool CGuiChannel::IsOpen() const {
  std::lock_guard lock(m_mutex);
  return m_open;
}

bool CGuiChannel::Run(const std::function<void()>& update) {
  if (OnGuiThread()) {
    // Earlier updates from other threads come first.
    Drain();
    if (!IsOpen()) return false;
    update();
    return true;
  }
  std::unique_lock lock(m_mutex);
  if (!m_open) return false;
  m_queue.push_back(update);
  const std::uint64_t ticket = ++m_queuedCount;
  if (m_wake) m_wake();
  m_applied.wait(lock, [&] { return !m_open || m_runCount >= ticket; });
  return m_runCount >= ticket;
}

void CGuiChannel::Drain() {
  std::unique_lock lock(m_mutex);
  while (m_open && !m_queue.empty()) {
    std::function<void()> update = std::move(m_queue.front());
    m_queue.pop_front();
    // The update may end the dialog and so close the channel: run it unlocked.
    lock.unlock();
    update();
    lock.lock();
    ++m_runCount;
    m_applied.notify_all();
  }
}

void CGuiChannel::Close() {
  std::lock_guard lock(m_mutex);
  m_open = false;
  m_wake = nullptr;
  m_queue.clear();
  m_applied.notify_all();
}
