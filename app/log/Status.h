#pragma once
// Status values of the result-handle form that device operations return:
// zero or positive is success, bit 31 set is failure.
#include <cstdint>

// On Windows the type is the system's own (a 32-bit long), and where
// <windows.h> came first its macros of the same names and values stand in.
#ifdef _WIN32
using HRESULT = long;
#else
using HRESULT = std::int32_t;
#endif
static_assert(sizeof(HRESULT) == 4);

#ifndef S_OK
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
#endif

#ifndef SUCCEEDED
constexpr bool SUCCEEDED(HRESULT status) { return status >= 0; }
constexpr bool FAILED(HRESULT status) { return status < 0; }
#endif
