#pragma once
// The debug trace: short diagnostic lines, silent unless SIVO_TRACE is set
// ("1" writes to standard error, anything else names a file to append to).
// Safe to call from any thread.

#if defined(__GNUC__)
#define SIVO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define SIVO_PRINTF(fmt, args)
#endif

void DebugTrace(const char* fmt, ...) SIVO_PRINTF(1, 2);

// True when the trace goes somewhere; lets callers skip expensive formatting.
bool DebugTraceEnabled();
