#include "ui/ProgressBarModel.h"

#include <algorithm>

void CProgressBarModel::SetRange(std::uint16_t lower, std::uint16_t upper) {
  m_lower = lower;
  m_upper = std::max<int>(lower, upper);
  m_pos = std::clamp(m_pos, m_lower, m_upper);
}

void CProgressBarModel::SetPos(int position) { m_pos = std::clamp(position, m_lower, m_upper); }

void CProgressBarModel::StepIt() {
  const int next = m_pos + m_step;
  m_pos = (next > m_upper || next < m_lower) ? m_lower : next;
}
