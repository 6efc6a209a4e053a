#pragma once
// Subtitles drawn inside the picture. Text subtitles (SRT, ASS/SSA with their
// styles, mov_text, WebVTT, ...), from a stream of the medium or a file
// beside it, are decoded by FFmpeg into ASS events and rendered by libass;
// bitmap subtitles (PGS, DVB, DVD) are drawn as they come, scaled from the
// picture size they were made for.
// A file's text is read in the charset it was written in (detected) and
// turned into UTF-8. The events are read by a thread of their own, so a
// long film's stream shows its first lines at once.
//
// Threads: Load, Clear and the setters on the controlling thread; Render on
// the presentation thread; the rest on any thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/VideoDemuxer.h"

extern "C" {
struct ass_library;
struct ass_renderer;
struct ass_track;
}

class Subtitles {
public:
    Subtitles();
    ~Subtitles();
    Subtitles(const Subtitles&) = delete;
    Subtitles& operator=(const Subtitles&) = delete;

    // A subtitle source a person can pick.
    struct Choice {
        std::string path;      // the medium or the file
        int stream = -1;       // the stream in it; -1 for a file's first
        std::string label;     // language and title, or the file's name
        bool preferred = false;  // beside the medium, or marked default
    };
    // The subtitle files beside a medium (same base name with any suffix, or
    // in a Subs/ or Subtitles/ folder), then its subtitle streams as the
    // demuxer that opened it lists them.
    static std::vector<Choice> Find(const std::string& medium,
                                    const std::vector<VideoDemuxer::StreamInfo>& streams = {});

    // Shows the source from now on (nothing shown for an empty path).
    // `origin`: the medium time, in seconds, a file's 0 stands for.
    void Load(const Choice& choice, double origin);
    void Clear();
    const Choice& Current() const { return m_current; }

    // Shown this much later (seconds); text this many times its size.
    void SetDelay(double seconds) { m_dDelay = seconds; }
    double Delay() const { return m_dDelay; }
    void SetScale(double scale) { m_dScale = scale; }
    double Scale() const { return m_dScale; }

    // Draws the subtitles due at medium time `stamp` (seconds) into a picture
    // of 4-byte pixels (blue, green, red, 0xFF in memory) at the size it is
    // shown, so text is drawn at the screen's resolution; true when something
    // was drawn.
    bool Render(uint8_t* bgra, int width, int height, int stride, double stamp);
    // The text of the text subtitles due at medium time `stamp`, as read so
    // far: UTF-8 without its styling, one line per line shown, events in
    // the order they came; empty when none is due.
    std::string TextAt(double stamp);

private:
    // A decoded bitmap subtitle: BGRA pixels placed on a canvas of the size
    // its stream was made for.
    struct Bitmap {
        double start, end;  // seconds of the source's own time
        int x, y, w, h;
        std::vector<uint8_t> bgra;
    };
    void Read(Choice choice);  // the reading thread
    void AddBitmaps(const struct AVSubtitle& sub, double start);
    bool DrawBitmaps(uint8_t* bgra, int width, int height, int stride, double at);
    void StopReading();

    ass_library* m_pLibrary = nullptr;
    ass_renderer* m_pRenderer = nullptr;
    std::mutex m_mutex;  // the track, between the reader and Render
    ass_track* m_pTrack = nullptr;
    Choice m_current;
    double m_dOrigin = 0.0;
    std::atomic<double> m_dDelay{0.0};
    std::atomic<double> m_dScale{1.0};
    std::atomic<bool> m_bStop{false};
    std::thread m_reader;
    int m_nFrameWidth = 0, m_nFrameHeight = 0;  // the renderer's (presentation thread)
    std::vector<Bitmap> m_bitmaps;  // under m_mutex, by start
    int m_nCanvasWidth = 0, m_nCanvasHeight = 0;
};
