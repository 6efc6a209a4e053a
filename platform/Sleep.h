#pragma once
#include <chrono>
#include <thread>

// Waiting in this program is by polling with short sleeps of fixed length.
inline void Sleep(int milliseconds) {
    if (milliseconds > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
