#pragma once
// Turns interlaced pictures into whole ones with FFmpeg's bwdif filter, one
// picture out for each one in (a picture of lookahead), before they are
// queued for presentation. Progressive pictures pass through untouched; the
// filter is made at the first interlaced picture and kept while the
// picture's size and format hold.
//
// Threads: the video decode thread only.

#include <vector>

#include "engine/FfmpegPtr.h"

extern "C" {
struct AVFilterGraph;
struct AVFilterContext;
}

class Deinterlacer {
public:
    Deinterlacer() = default;
    ~Deinterlacer();
    Deinterlacer(const Deinterlacer&) = delete;
    Deinterlacer& operator=(const Deinterlacer&) = delete;

    // Takes the picture in `frame` (its pts is its stamp) and appends the
    // pictures that are ready, in order; `frame` is left blank.
    void Push(AVFrame* frame, std::vector<AVFramePtr>& out);
    // The end of the medium: what the filter holds comes out.
    void Drain(std::vector<AVFramePtr>& out);
    // A seek: what the filter holds is dropped.
    void Reset();
    bool Active() const { return m_pGraph != nullptr; }

private:
    bool Build(const AVFrame& like);
    void Collect(std::vector<AVFramePtr>& out);

    AVFilterGraph* m_pGraph = nullptr;
    AVFilterContext* m_pSource = nullptr;
    AVFilterContext* m_pSink = nullptr;
    int m_nWidth = 0, m_nHeight = 0, m_nFormat = -1;
};
