#pragma once
// Raises the whole process above ordinary programs (below real time), so that
// a busy machine does not starve the timed exchanges with the device.
#include <string>

// Empty when granted; otherwise why not (the run goes on at normal priority).
std::string RaiseProcessPriority();
