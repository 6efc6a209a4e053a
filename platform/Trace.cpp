#include "platform/Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct TraceSink {
    std::FILE* file = nullptr;
    bool owned = false;
    std::mutex mutex;

    TraceSink() {
        const char* target = std::getenv("SIVO_TRACE");
        if (!target || !*target || std::strcmp(target, "0") == 0)
            return;
        if (std::strcmp(target, "1") == 0) {
            file = stderr;
        } else {
            file = std::fopen(target, "a");
            owned = file != nullptr;
        }
    }
    ~TraceSink() {
        if (owned)
            std::fclose(file);
    }
};

TraceSink& Sink() {
    static TraceSink sink;
    return sink;
}

} // namespace

bool DebugTraceEnabled() { return Sink().file != nullptr; }

void DebugTrace(const char* fmt, ...) {
    TraceSink& sink = Sink();
    if (!sink.file)
        return;
    std::lock_guard<std::mutex> lock(sink.mutex);
    va_list args;
    va_start(args, fmt);
    std::vfprintf(sink.file, fmt, args);
    va_end(args);
    std::fflush(sink.file);
}
