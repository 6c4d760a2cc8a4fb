#pragma once
// One line into the run's log for the files that include the Windows headers:
// those headers and the log's status header both define HRESULT and S_OK, so
// such a file cannot include the log itself. printf-style: %s, %u, %lu.
void WinHidLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
