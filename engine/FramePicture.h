#pragma once
// A decoded picture as the display gets it (output/VideoWindow.h): it holds
// the decoder's frame by reference, so handing it over copies nothing, and
// converts it only when the display paints it: once, straight into the
// display's pixels at the size shown, in the colours the stream states,
// turned as the stream asks, with the subtitles due at its stamp drawn in at
// that size.
//
// Threads: made by the presentation thread; immutable after. Paint may run
// on any thread, on several at once: each thread keeps a conversion context
// of its own.

#include <memory>

#include "engine/VideoFrame.h"
#include "output/VideoWindow.h"

class Subtitles;

class FramePicture : public Picture {
public:
    // stamp: medium time in seconds; rotation: 0, 90, 180 or 270 degrees
    // clockwise; subtitles: null for none.
    FramePicture(std::unique_ptr<VideoFrame> frame, double stamp, int rotation, std::shared_ptr<Subtitles> subtitles);

    int Width() const override { return m_nWidth; }
    int Height() const override { return m_nHeight; }
    bool Paint(uint8_t* bits, ptrdiff_t stride, int width, int height) const override;

private:
    std::unique_ptr<VideoFrame> m_frame;
    double m_dStamp;
    int m_nRotation;
    std::shared_ptr<Subtitles> m_subtitles;
    int m_nMatrix;       // swscale's colour space constant
    bool m_bFullRange;
    int m_nWidth = 0;    // as shown
    int m_nHeight = 0;
};
