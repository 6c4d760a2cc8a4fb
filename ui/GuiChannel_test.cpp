#include "ui/GuiChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ui/ProgressBarModel.h"

namespace {

// The test's thread plays the GUI thread: it drains whenever a wake-up arrives.
class FakeGui {
 public:
  explicit FakeGui(CGuiChannel& channel) : m_channel(channel) {
    m_channel.Open([this] {
      std::lock_guard lock(m_mutex);
      ++m_wakes;
      m_changed.notify_all();
    });
  }
  void WaitForWake(int count) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_wakes >= count; });
  }
  int Wakes() {
    std::lock_guard lock(m_mutex);
    return m_wakes;
  }
  // Drains on every wake-up until `finished` has been called.
  void RunUntilFinished() {
    int handled = 0;
    for (;;) {
      std::unique_lock lock(m_mutex);
      m_changed.wait(lock, [&] { return m_wakes > handled || m_finished; });
      if (m_wakes == handled && m_finished) return;
      handled = m_wakes;
      lock.unlock();
      m_channel.Drain();
    }
  }
  void Finished() {
    std::lock_guard lock(m_mutex);
    m_finished = true;
    m_changed.notify_all();
  }

 private:
  CGuiChannel& m_channel;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  int m_wakes = 0;
  bool m_finished = false;
};

TEST(GuiChannelTest, UpdatesRunOnTheGuiThreadInOrderAndEachBeforeTheWriterGoesOn) {
  CGuiChannel channel;
  FakeGui gui(channel);
  const auto guiThread = std::this_thread::get_id();
  std::vector<int> applied;  // touched on the GUI thread only
  std::vector<std::size_t> seenByWriter;
  bool allOnGui = true;
  constexpr int kUpdates = 200;
  std::thread writer([&] {
    for (int i = 0; i < kUpdates; ++i) {
      std::size_t seen = 0;
      const bool ran = channel.Run([&, i] {
        allOnGui = allOnGui && std::this_thread::get_id() == guiThread;
        applied.push_back(i);
        seen = applied.size();
      });
      if (!ran) break;
      // Run returns only after the update has run: its effect is visible here.
      seenByWriter.push_back(seen);
    }
    gui.Finished();
  });
  gui.RunUntilFinished();
  writer.join();
  ASSERT_EQ(applied.size(), static_cast<std::size_t>(kUpdates));
  ASSERT_EQ(seenByWriter.size(), static_cast<std::size_t>(kUpdates));
  for (int i = 0; i < kUpdates; ++i) {
    EXPECT_EQ(applied[i], i);
    EXPECT_EQ(seenByWriter[i], static_cast<std::size_t>(i + 1));
  }
  EXPECT_TRUE(allOnGui);
}

TEST(GuiChannelTest, CloseReleasesAWaitingWriterAndLaterUpdatesReturnAtOnce) {
  CGuiChannel channel;
  FakeGui gui(channel);
  bool ran = false;
  std::atomic<int> results = 0;
  std::thread writer([&] {
    // Queued, then dropped by the close: never runs.
    if (!channel.Run([&] { ran = true; })) ++results;
    // After the close nothing is queued and nothing waits.
    if (!channel.Run([&] { ran = true; })) ++results;
  });
  gui.WaitForWake(1);
  channel.Close();
  writer.join();
  channel.Drain();
  EXPECT_FALSE(ran);
  EXPECT_EQ(results.load(), 2);
  EXPECT_EQ(gui.Wakes(), 1);
}

TEST(GuiChannelTest, AnUpdateThatEndsTheDialogClosesTheChannelFromInside) {
  CGuiChannel channel;
  FakeGui gui(channel);
  int later = 0;
  std::thread writer([&] {
    channel.Run([&] { channel.Close(); });
    channel.Run([&] { ++later; });
  });
  gui.WaitForWake(1);
  channel.Drain();
  writer.join();
  EXPECT_EQ(later, 0);
  EXPECT_FALSE(channel.IsOpen());
}

TEST(GuiChannelTest, GuiThreadUpdatesRunAtOnceWhileOpenAndNotAfterClose) {
  CGuiChannel channel;
  int count = 0;
  EXPECT_FALSE(channel.Run([&] { ++count; }));
  channel.Open([] {});
  EXPECT_TRUE(channel.Run([&] { ++count; }));
  channel.Close();
  EXPECT_FALSE(channel.Run([&] { ++count; }));
  EXPECT_EQ(count, 1);
}

TEST(ProgressBarModelTest, Stepping) {
  struct Case {
    const char* name;
    int lower, upper, step, steps;
    int expected;
  };
  for (const Case& c : {Case{"empty range never moves", 0, 0, 1, 1, 0},
                        Case{"counts up to the upper bound", 0, 3, 1, 3, 3},
                        Case{"a step past the upper bound starts over", 0, 3, 1, 4, 0},
                        Case{"larger steps", 0, 100, 30, 3, 90},
                        Case{"larger step past the end", 0, 100, 30, 4, 0}}) {
    SCOPED_TRACE(c.name);
    CProgressBarModel bar;
    bar.SetRange(static_cast<std::uint16_t>(c.lower), static_cast<std::uint16_t>(c.upper));
    bar.SetPos(0);
    bar.SetStep(c.step);
    for (int i = 0; i < c.steps; ++i) bar.StepIt();
    EXPECT_EQ(bar.Pos(), c.expected);
  }
}

TEST(ProgressBarModelTest, PositionStaysInsideTheRange) {
  CProgressBarModel bar;
  bar.SetRange(10, 20);
  bar.SetPos(25);
  EXPECT_EQ(bar.Pos(), 20);
  bar.SetPos(3);
  EXPECT_EQ(bar.Pos(), 10);
  bar.SetRange(0, 5);
  EXPECT_EQ(bar.Pos(), 5);
}

}  // namespace
