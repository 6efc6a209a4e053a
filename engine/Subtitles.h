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
// What a hostile or broken file can cost is bounded: files beyond a size
// are not read, a source gives at most so many events, and each picture
// draws only as much text as a budget of pixels holds (an event that could
// never fit is left out when read), so no script makes a picture take
// seconds or the renderer gigabytes. What is left out is told in the debug
// trace.
//
// Threads: Load, Clear and the setters on the controlling thread; Render on
// the presentation thread; the rest on any thread.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/VideoDemuxer.h"

extern "C" {
struct ass_image;
struct ass_library;
struct ass_renderer;
struct ass_track;
struct ass_event;
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
        std::string language = {}, title = {};  // a stream's tags
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
    // True from Load until its source has been read to the end, refused or
    // given up; no event comes after that.
    bool Reading() const { return m_bReading; }

    // Shown this much later (seconds); text this many times its size.
    void SetDelay(double seconds) { m_dDelay = seconds; }
    double Delay() const { return m_dDelay; }
    void SetScale(double scale) { m_dScale = scale; }
    double Scale() const { return m_dScale; }

    // The subtitles due at one moment in a picture of 4-byte pixels (blue,
    // green, red, 0xFF in memory) at the size it is shown, so text is drawn
    // at the screen's resolution. Laid out once by Begin, then drawn band by
    // band as the picture is made, each band while it is still in the cache.
    // It holds the subtitles: no other picture draws until it is gone.
    class Drawing {
    public:
        // Nothing due: the picture can be made in one go.
        bool Empty() const { return !m_bBitmaps && !m_bLayer && m_straight.empty(); }
        // Draws into rows [from, to) of the picture; each row once.
        void Rows(uint8_t* bgra, int stride, int from, int to);
        // True when something was drawn.
        bool Drawn() const { return m_bDrawn; }

    private:
        friend class Subtitles;
        Drawing(Subtitles& subtitles, int width, int height)
            : m_subtitles(subtitles), m_lock(subtitles.m_mutex), m_nWidth(width), m_nHeight(height) {}
        Subtitles& m_subtitles;
        std::unique_lock<std::mutex> m_lock;
        int m_nWidth, m_nHeight;
        bool m_bBitmaps = false;  // bitmap subtitles at m_dAt seconds
        double m_dAt = 0.0;
        bool m_bLayer = false;    // the composed layer
        std::vector<const ass_image*> m_straight;  // blended over it, in order
        bool m_bDrawn = false;
    };
    // Lays out the subtitles due at medium time `stamp` (seconds).
    Drawing Begin(int width, int height, double stamp);
    // Draws them into the whole picture at once; true when something was
    // drawn.
    bool Render(uint8_t* bgra, int width, int height, int stride, double stamp);
    // The text of the text subtitles due at medium time `stamp` and drawn
    // in a picture 1080 lines high, as read so far: UTF-8 without its
    // styling, one line per line shown, events in the order they came;
    // empty when none is due.
    std::string TextAt(double stamp);

private:
    // A decoded bitmap subtitle placed on a canvas of the size its stream
    // was made for: its palette (blue, green, red, alpha) and each row's
    // runs of one colour (a count of 1..255, then the colour's index).
    struct Bitmap {
        double start, end;  // seconds of the source's own time
        int x, y, w, h;
        std::vector<uint32_t> palette;
        std::vector<uint8_t> runs;
        std::vector<uint32_t> rows;  // where each row's runs begin
        size_t Bytes() const { return palette.size() * 4 + runs.size() + rows.size() * 4; }
    };
    void Read(Choice choice);  // the reading thread
    void ReadSource(const Choice& choice);
    void AddEvent(char* chunk, long long startMs, long long durationMs);
    void AddBitmaps(const struct AVSubtitle& sub, double start);
    // The drawing steps take the picture's rows [from, to) only.
    bool DrawBitmaps(uint8_t* bgra, int width, int height, int stride, double at, int from, int to);
    static bool Blend(const struct ass_image& img, uint8_t* bgra, int width, int stride, int from, int to, bool layer);
    void PlanImages(const ass_image* images, int change, Drawing& drawing);
    struct Placed;
    void ComposeOverlay(const std::vector<const ass_image*>& images, std::vector<Placed> placed, int width, int height);
    static std::vector<std::pair<int, int>> RowsToCompose(const std::vector<Placed>& before,
                                                          const std::vector<Placed>& after, int height);
    bool ApplyOverlay(uint8_t* bgra, int stride, int from, int to) const;
    // The events due at `atMs` a picture `height` lines high draws, in the
    // order read (under m_mutex).
    std::vector<int> Drawn(long long atMs, int height);
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
    std::atomic<bool> m_bReading{false};
    std::thread m_reader;
    int m_nFrameWidth = 0, m_nFrameHeight = 0;  // the renderer's (presentation thread)
    // Under m_mutex: the text of the last picture composed into one layer
    // (blue, green, red premultiplied; the share of the picture left), per
    // row the span it may change, and the runs of pixels it does change.
    struct Run {
        int y, from, to;
        uint32_t at;  // its first pixel in m_packed
    };
    std::vector<uint8_t> m_overlay;
    std::vector<std::pair<int, int>> m_spans;
    std::vector<Run> m_runs;        // by row
    int m_nOverlayWidth = 0;
    std::vector<uint8_t> m_packed;  // the layer's pixels of the runs, one run after another
    bool m_bOverlayReady = false;
    // An image as libass placed it: the same bitmap, place and colour on the
    // next picture is the same image.
    struct Placed {
        const unsigned char* bitmap;
        int w, h, stride, x, y;
        uint32_t color;
        bool operator==(const Placed&) const = default;
    };
    static bool NeverUnderChanged(const std::vector<Placed>& images, const std::vector<bool>& kept);
    std::vector<Placed> m_overlaid;    // the images composed into the layer
    std::vector<Placed> m_lastImages;  // of the last picture libass drew
    bool m_bOverlayWhole = false;      // the layer holds every image of that picture
    // Under m_mutex: what drawing each event of the track costs, in square
    // pixels of a picture 1080 lines high, all of it and its largest bitmap;
    // events left out as too large.
    struct Cost {
        float total, largest;
    };
    std::vector<Cost> m_eventCost;
    // Under m_mutex, per event of the track: when, in ms from its start, its
    // look changes as it shows: spans in which it may change with every
    // picture, and instants (sorted) at which it changes at once.
    struct Motion {
        std::vector<std::pair<long long, long long>> spans;
        std::vector<long long> instants;
    };
    static Motion MotionOf(const ass_event& event);
    std::vector<Motion> m_eventMotion;
    // The events drawn and how many of each one's instants had passed, at a
    // scale; the last picture's, none while one was in motion.
    struct Look {
        double scale;
        std::vector<std::pair<int, size_t>> events;
        bool operator==(const Look&) const = default;
    };
    std::optional<Look> LookAt(const std::vector<int>& drawn, long long atMs) const;
    std::optional<Look> m_lastLook;
    int m_nLeftOut = 0;
    std::vector<Bitmap> m_bitmaps;  // under m_mutex, by start
    size_t m_nOpenBitmaps = 0;      // the last set's first bitmap, shown until the next
    size_t m_nBitmapBytes = 0;
    int m_nCanvasWidth = 0, m_nCanvasHeight = 0;
};
