// Windows wakes timed waits on its timer tick (15.6 ms by default); a 1 ms
// tick while the object exists lets the download's pacing block, not spin.
#include <windows.h>
#include <timeapi.h>

#include "platform/Clock.h"

CFineTimerSlack::CFineTimerSlack() { m_previous = timeBeginPeriod(1) == TIMERR_NOERROR ? 1 : 0; }

CFineTimerSlack::~CFineTimerSlack() {
  if (m_previous != 0) timeEndPeriod(1);
}
