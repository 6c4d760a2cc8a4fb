#pragma once
// The state of one progress bar: range, position and step, with the stepping
// rule of the platform control (a step past the upper bound starts over at the
// lower bound, so a bar whose range is 0..0 never moves).
#include <cstdint>

class CProgressBarModel {
 public:
  void SetRange(std::uint16_t lower, std::uint16_t upper);
  // Clamped into the range.
  void SetPos(int position);
  void SetStep(int step) { m_step = step; }
  void StepIt();

  int Lower() const { return m_lower; }
  int Upper() const { return m_upper; }
  int Pos() const { return m_pos; }
  int Step() const { return m_step; }

 private:
  int m_lower = 0;
  int m_upper = 100;
  int m_pos = 0;
  int m_step = 10;
};
