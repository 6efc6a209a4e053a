#pragma once
// Plays sound faster or slower with its pitch kept, through FFmpeg's atempo
// filter (chained for factors below 0.5). Frames keep their format; each
// output frame is told the media stamp it starts at.
//
// Threads: the audio decode thread only.

#include <vector>

#include "engine/FfmpegPtr.h"

extern "C" {
struct AVFilterGraph;
struct AVFilterContext;
}

class Tempo {
public:
    Tempo() = default;
    ~Tempo();
    Tempo(const Tempo&) = delete;
    Tempo& operator=(const Tempo&) = delete;

    struct Out {
        AVFramePtr frame;
        double stamp;  // media seconds at its first sample
    };
    // Takes the frame (its media stamp in seconds) at `speed` and appends
    // what is ready. False when the filter cannot be made for it (then the
    // caller plays it as it is).
    bool Push(AVFrame* frame, double stamp, double speed, std::vector<Out>& out);
    // Forgets what is held (a seek, a new speed).
    void Reset();

private:
    bool Build(const AVFrame& like, double speed);

    AVFilterGraph* m_pGraph = nullptr;
    AVFilterContext* m_pSource = nullptr;
    AVFilterContext* m_pSink = nullptr;
    double m_dSpeed = 1.0;
    int m_nRate = 0, m_nFormat = -1, m_nChannels = 0;
    double m_dStart = 0.0;      // media stamp of the first frame since the reset
    int64_t m_nSamplesOut = 0;  // samples given out since then
};
