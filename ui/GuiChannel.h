#pragma once
// CGuiChannel: hands updates from any thread to the GUI thread, in order, and
// lets the writer go on only once its update has run there.
//
// A writer queues its update, wakes the GUI thread and waits until the GUI
// thread has run it, or until the channel has been closed. The GUI thread
// closes the channel when the dialog ends: queued updates are dropped, waiting
// writers are released at once, and every later update returns without being
// queued. The GUI thread never waits for a writer, so the two cannot wait on
// each other: closing the window while a run is under way cannot deadlock.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class CGuiChannel {
 public:
  // Posts a request to call Drain on the GUI thread. Called with the channel's
  // lock held, so it must only post, never run anything itself.
  using Wake = std::function<void()>;

  // The calling thread becomes the GUI thread.
  CGuiChannel();

  // Starts accepting updates; `wake` is used until Close.
  void Open(Wake wake);
  // Runs `update` on the GUI thread (at once when called there) and returns
  // once it has run. Returns false, without running it, when the channel is
  // not open.
  bool Run(const std::function<void()>& update);
  // GUI thread: runs every queued update, oldest first.
  void Drain();
  // GUI thread: drops queued updates and releases every waiting writer.
  void Close();
  bool IsOpen() const;

 private:
  bool OnGuiThread() const { return std::this_thread::get_id() == m_guiThread; }

  const std::thread::id m_guiThread;
  mutable std::mutex m_mutex;
  std::condition_variable m_applied;
  std::deque<std::function<void()>> m_queue;
  Wake m_wake;
  bool m_open = false;
  // Updates queued so far and updates run so far; a writer waits until the
  // count of runs reaches its own number.
  std::uint64_t m_queuedCount = 0;
  std::uint64_t m_runCount = 0;
};
