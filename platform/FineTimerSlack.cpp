#include <sys/prctl.h>

#include "platform/Clock.h"

CFineTimerSlack::CFineTimerSlack() {
  m_previous = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  if (m_previous > 0) prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
}

CFineTimerSlack::~CFineTimerSlack() {
  if (m_previous > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(m_previous), 0, 0, 0);
}
