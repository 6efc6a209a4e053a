#pragma once
#include <atomic>

// Process-wide counts of live objects, printed by the stream server's sweep.
// Diagnostic only.
inline std::atomic<int> g_nLivePackageData{0};
inline std::atomic<int> g_nLiveDataBuff{0};
inline std::atomic<int> g_nLiveVideoDemuxer{0};
