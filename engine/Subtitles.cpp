#include "engine/Subtitles.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>

#include "engine/FfmpegPtr.h"
#include "engine/SubtitleCharset.h"
#include "engine/SubtitlePixels.h"
#include "engine/VideoDemuxer.h"
#include "platform/Trace.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

extern "C" {
#include <ass/ass.h>
#include <libavutil/dict.h>
#include <libavutil/mem.h>
}

namespace fs = std::filesystem;

namespace {

const char* const kSubtitleExtensions[] = {".srt", ".ass", ".ssa", ".vtt", ".sub", ".txt", ".sup"};
const char* const kSubtitleFolders[] = {"Subs", "Subtitles", "subs", "subtitles"};
// A subtitle file larger than this is no subtitle file: text ones are read
// whole by their reader, bitmap ones (a Blu-ray film's .sup, a DVD's .sub)
// set by set.
constexpr uintmax_t kMaxTextFile = 64u << 20;
constexpr uintmax_t kMaxBitmapFile = 512u << 20;
// The readers a subtitle file is opened with; anything else (a playlist, a
// medium renamed) is not read.
const char kSubtitleFormats[] =
    "srt,ass,webvtt,subviewer,subviewer1,microdvd,mpl2,mpsub,pjs,realtext,sami,jacosub,stl,vplayer,aqtitle,lrc,"
    "scc,sup,vobsub,mpeg";
// Bytes read to tell a file's charset.
constexpr size_t kCharsetProbe = 1 << 20;
// libass messages up to this level reach the trace (5: its informational ones).
constexpr int kAssMessageLevel = 5;
// A bitmap subtitle side longer than this is a broken stream's.
constexpr int kMaxBitmapSide = 8192;
// Rectangles kept of one set, and drawn into one picture.
constexpr unsigned kMaxRectsPerSet = 16;
constexpr int kMaxBitmapsDrawn = 16;
// Bitmaps kept of a source at most (run-length coded, a Blu-ray film's take
// a few MB).
constexpr size_t kMaxBitmapBytes = 64u << 20;
// Events kept of a source at most (a film has a few thousand, a heavily
// typeset episode tens of thousands), and the longest an event's text is.
constexpr int kMaxEvents = 200000;
constexpr size_t kMaxEventText = 64u << 10;
// What libass may draw into one picture, in square pixels as drawn 1080
// lines high (each glyph, drawing and vector clip by its box with border and
// blur), and the largest single outline: dialogue takes well under 1M, a
// screen of typesetting a few M; at about a millisecond per 1M this keeps
// a picture's subtitles to tens of milliseconds.
constexpr double kReferenceHeight = 1080, kReferenceWidth = 1920;
constexpr double kPictureBudget = 32e6;
constexpr double kMaxOutline = 8e6;
// The work that does not grow with the area, as pixels: of each glyph, of
// each blurred bitmap, of each event.
constexpr double kGlyphCost = 5e3, kBlurCost = 1e5, kEventCost = 2e4;
constexpr int kMaxEventsDrawn = 1024;
// Pictures up to this size keep text that stays as it was in a layer of
// their own (4 bytes a pixel), to be laid over the next ones in one pass.
constexpr size_t kMaxOverlayPixels = 3840 * 2160;
// Pictures with more images than this are blended straight, not compared
// image by image with the picture before.
constexpr size_t kMaxLayeredImages = 256;
// Times beyond this (ms, some 30,000 years) are a broken file's.
constexpr long long kMaxStampMs = 1000000000000000LL;
// How long a cue shows that tells no end, or an end before its start.
constexpr long long kUntoldDurationMs = 5000;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

bool IsSubtitleFile(const fs::path& path) {
    const std::string ext = Lower(path.extension().string());
    return std::any_of(std::begin(kSubtitleExtensions), std::end(kSubtitleExtensions),
                       [&](const char* known) { return ext == known; });
}

// A Blu-ray .sup, or a DVD's .sub (an MPEG program stream), not text.
bool IsBitmapFile(const fs::path& path) {
    const std::string ext = Lower(path.extension().string());
    if (ext == ".sup")
        return true;
    if (ext != ".sub")
        return false;
    char head[4] = {};
    std::ifstream(path, std::ios::binary).read(head, sizeof head);
    return std::memcmp(head, "\0\0\1\xba", 4) == 0;
}

uintmax_t MaxFileSize(const fs::path& path) { return IsBitmapFile(path) ? kMaxBitmapFile : kMaxTextFile; }

// The charset a subtitle file is written in, as iconv names it; empty for
// what FFmpeg reads itself (UTF-8, UTF-16 with its mark).
std::string DetectCharset(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(kCharsetProbe, '\0');
    in.read(head.data(), std::streamsize(head.size()));
    head.resize(size_t(in.gcount()));
    return SubtitleCharset(head, path);
}

// A subtitle stream FFmpeg can decode: text, or bitmaps.
bool IsSubtitle(const AVStream* st) {
    return st->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE && avcodec_find_decoder(st->codecpar->codec_id);
}

struct InputClose {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};

long long ClampStamp(double ms) { return std::isfinite(ms) ? std::llround(std::clamp(ms, double(-kMaxStampMs), double(kMaxStampMs))) : 0; }

// The script's resolution as libass takes it when it gives none or one
// (written back, so that what is estimated here is what libass draws).
void SettlePlayRes(ASS_Track& track) {
    int& x = track.PlayResX;
    int& y = track.PlayResY;
    if (x <= 0 && y <= 0)
        x = 384, y = 288;
    else if (y <= 0)
        y = x == 1280 ? 1024 : std::max(1, int(int64_t(x) * 3 / 4));
    else if (x <= 0)
        x = y == 1024 ? 1280 : std::max(1, int(std::min<int64_t>(int64_t(y) * 4 / 3, INT_MAX)));
    // A layout resolution only corrects the pixels' shape; one far from the
    // script's own stretches every glyph.
    if (track.LayoutResX > 0 && track.LayoutResY > 0) {
        const double stretch = (double(track.LayoutResX) / track.LayoutResY) / (double(x) / y);
        if (stretch < 0.5 || stretch > 2.0)
            track.LayoutResX = track.LayoutResY = 0;
    }
}

// What drawing an ASS event costs libass, estimated from its text as libass
// reads it, in square pixels of a picture 1080 lines high: each glyph,
// drawing and vector clip is rasterised in its box, and each run of glyphs
// between override blocks (and each drawing) is combined into one bitmap,
// grown by its border and blur. Override tags are followed in order (\r
// resets, a \t counts the larger of where it starts and ends). The largest
// single bitmap is kept too.
class DrawCost {
public:
    explicit DrawCost(const ASS_Track& track)
        : m_track(track),
          m_k(kReferenceHeight / std::max(track.PlayResY, 1)),
          m_kx(kReferenceWidth / std::max(track.PlayResX, 1)),
          m_kb(track.ScaledBorderAndShadow ? m_k : 1.0) {}

    double Of(const ASS_Event& event, double& largest) {
        m_event = event.Style;
        m_s = StyleState(event.Style);
        m_cost = kEventCost;
        m_largest = m_runW = m_runH = 0;
        const std::string_view text = event.Text ? event.Text : "";
        for (size_t i = 0; i < text.size() && m_cost <= kPictureBudget;) {
            if (text[i] == '{') {
                Flush();
                const size_t close = std::min(text.find('}', i + 1), text.size());
                Tags(text.substr(i + 1, close - i - 1), false);
                i = close + 1;
            } else if (m_s.p > 0) {
                const size_t open = std::min(text.find('{', i), text.size());
                Drawing(text.substr(i, open - i), m_s.p, false);
                i = open;
            } else {
                if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == 'N' || text[i + 1] == 'n')) {
                    Flush();
                    i += 2;
                    continue;
                }
                if ((uint8_t(text[i]) & 0xc0) != 0x80)
                    Glyph();
                ++i;
            }
        }
        Flush();
        largest = m_largest;
        return m_cost;
    }

private:
    struct State {
        double fs = 18, sx = 1, sy = 1, bx = 2, by = 2, blur = 0, be = 0, fax = 0, fay = 0;
        int p = 0;
    };

    State StyleState(int style) const {
        State s;
        if (style >= 0 && style < m_track.n_styles) {
            const ASS_Style& st = m_track.styles[style];
            s.fs = st.FontSize > 0 ? st.FontSize : 18;
            s.sx = std::max(st.ScaleX, 0.0), s.sy = std::max(st.ScaleY, 0.0);
            s.bx = s.by = std::max(st.Outline, 0.0);
            s.blur = std::clamp(st.Blur, 0.0, 100.0);
        }
        return s;
    }

    // One bitmap of w x h pixels rasterised, and with `padded` grown by the
    // border and blur and combined.
    void Bitmap(double w, double h, bool padded) {
        w = std::fabs(w), h = std::fabs(h);
        double area = w * h;
        if (padded) {
            const double pad = (std::max(m_s.bx, m_s.by) + 2 * m_s.blur) * m_kb + m_s.be;
            area = (w + 2 * pad) * (h + 2 * pad) * (1 + m_s.be / 16);
            if (m_s.blur > 0 || m_s.be > 0)
                m_cost += kBlurCost;
        }
        m_largest = std::max(m_largest, area);
        m_cost += area;
    }

    void Glyph() {
        const double w = m_s.fs * m_k * m_s.sx, h = m_s.fs * m_k * m_s.sy;
        const double sheared = w + std::fabs(m_s.fax) * h, tall = h + std::fabs(m_s.fay) * w;
        Bitmap(sheared, tall, false);
        m_cost += kGlyphCost;
        m_runW += sheared;
        m_runH = std::max(m_runH, tall);
    }

    // The run of glyphs so far becomes one bitmap.
    void Flush() {
        if (m_runW > 0)
            Bitmap(m_runW, m_runH, true);
        m_runW = m_runH = 0;
    }

    // Drawing commands (or a vector clip's) at scale 1 / 2^(p-1): the box
    // of every coordinate pair.
    void Drawing(std::string_view commands, int p, bool clip) {
        double box[4] = {INFINITY, INFINITY, -INFINITY, -INFINITY};
        int n = 0;
        for (size_t i = 0; i < commands.size();) {
            double value;
            const size_t used = Number(commands.substr(i), value);
            if (used == 0) {
                ++i;
                continue;
            }
            const int axis = n++ % 2;
            box[axis] = std::min(box[axis], value);
            box[axis + 2] = std::max(box[axis + 2], value);
            i += used;
        }
        if (n < 2)
            return;
        const double scale = std::ldexp(1.0, -(std::clamp(p, 1, 64) - 1));
        const double w = (box[2] - box[0]) * scale, h = (box[3] - box[1]) * scale;
        if (clip)  // the clip's own coordinates, as the script's pixels
            return Bitmap(w * m_kx, h * m_k, false);
        const double dw = w * m_k * m_s.sx, dh = h * m_k * m_s.sy;
        const double sheared = dw + std::fabs(m_s.fax) * dh, tall = dh + std::fabs(m_s.fay) * dw;
        Bitmap(sheared, tall, false);
        Bitmap(sheared, tall, true);
        m_cost += kGlyphCost;
    }

    // A decimal number at the start of `text` after spaces, as libass reads
    // one; the characters taken, 0 for none.
    static size_t Number(std::string_view text, double& value) {
        size_t i = 0;
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            ++i;
        const size_t start = i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-'))
            ++i;
        const auto digits = [&] {
            const size_t from = i;
            while (i < text.size() && std::isdigit(uint8_t(text[i])))
                ++i;
            return i - from;
        };
        size_t count = digits();
        if (i < text.size() && text[i] == '.') {
            ++i;
            count += digits();
        }
        if (count == 0)
            return 0;
        if (i + 1 < text.size() && (text[i] == 'e' || text[i] == 'E')) {
            size_t e = i + 1;
            if (e < text.size() && (text[e] == '+' || text[e] == '-'))
                ++e;
            if (e < text.size() && std::isdigit(uint8_t(text[e]))) {
                i = e;
                digits();
            }
        }
        value = std::strtod(std::string(text.substr(start, i - start)).c_str(), nullptr);
        if (!std::isfinite(value))
            value = std::copysign(1e300, value);
        return i;
    }

    // Sets (or, animated, raises) a size-like part of the state.
    static void Set(double& part, double value, bool animated) { part = animated ? std::max(part, value) : value; }

    // The tags of an override block (or of a \t's last argument).
    void Tags(std::string_view block, bool animated) {
        for (size_t i = block.find('\\'); i != std::string_view::npos; i = block.find('\\', i)) {
            ++i;
            while (i < block.size() && (block[i] == ' ' || block[i] == '\t'))
                ++i;
            size_t q = i;
            while (q < block.size() && block[q] != '(' && block[q] != '\\')
                ++q;
            const std::string_view name = block.substr(i, q - i);
            // Parenthesised arguments split at commas, up to one with a
            // backslash, which runs to the closing parenthesis.
            std::vector<std::string_view> args;
            if (q < block.size() && block[q] == '(') {
                size_t a = q + 1;
                for (;;) {
                    size_t r = a;
                    while (r < block.size() && block[r] != ',' && block[r] != '\\' && block[r] != ')')
                        ++r;
                    if (r < block.size() && block[r] == ',') {
                        args.push_back(block.substr(a, r - a));
                        a = r + 1;
                        continue;
                    }
                    if (r < block.size() && block[r] == '\\')
                        r = std::min(block.find(')', r), block.size());
                    args.push_back(block.substr(a, r - a));
                    q = std::min(r + 1, block.size());
                    break;
                }
            }
            // libass reads a \t's tags in place; one within another runs to
            // the end of the outer one, so it is read on in this loop.
            const bool transform = name.substr(0, 1) == "t" && !args.empty() &&
                                   args.back().find('\\') != std::string_view::npos;
            if (transform && animated) {
                i = size_t(args.back().data() - block.data());
                continue;
            }
            if (transform)
                Tags(args.back(), true);
            else
                Tag(name, args, animated);
            i = q;
        }
    }

    void Tag(std::string_view name, const std::vector<std::string_view>& args, bool animated) {
        const auto is = [&](std::string_view tag) { return name.substr(0, tag.size()) == tag; };
        // Its value: the first parenthesised argument, else what follows the name.
        const auto value = [&](std::string_view tag, double& v, bool& relative) {
            const std::string_view arg = args.empty() ? name.substr(tag.size()) : args[0];
            relative = !arg.empty() && (arg[0] == '+' || arg[0] == '-');
            return Number(arg, v) > 0;
        };
        const State style = StyleState(m_event);
        double v = 0;
        bool relative = false;
        if (is("xbord") || is("ybord")) {
            double& part = name[0] == 'x' ? m_s.bx : m_s.by;
            Set(part, value("xbord", v, relative) ? std::max(v, 0.0) : style.bx, animated);
        } else if (is("xshad") || is("yshad")) {
        } else if (is("fax") || is("fay")) {
            Set(name[2] == 'x' ? m_s.fax : m_s.fay, value("fax", v, relative) ? std::fabs(v) : 0.0, animated);
        } else if (is("iclip")) {
            Clip(args);
        } else if (is("blur")) {
            Set(m_s.blur, value("blur", v, relative) ? std::clamp(v, 0.0, 100.0) : 0.0, animated);
        } else if (is("fscx") || is("fscy")) {
            double& part = name[3] == 'x' ? m_s.sx : m_s.sy;
            Set(part, value("fscx", v, relative) ? std::max(v, 0.0) / 100 : (name[3] == 'x' ? style.sx : style.sy),
                animated);
        } else if (is("fsc")) {
            Set(m_s.sx, style.sx, animated);
            Set(m_s.sy, style.sy, animated);
        } else if (is("fsp")) {
        } else if (is("fs")) {
            double size = 0;
            if (value("fs", v, relative))
                size = relative ? m_s.fs * (1 + v / 10) : v;
            Set(m_s.fs, size > 0 ? std::min(size, 1e300) : style.fs, animated);
        } else if (is("bord")) {
            const double border = value("bord", v, relative) ? std::max(v, 0.0) : style.bx;
            Set(m_s.bx, border, animated);
            Set(m_s.by, border, animated);
        } else if (is("t")) {
        } else if (is("clip")) {
            Clip(args);
        } else if (is("r")) {
            m_s = StyleState(NamedStyle(name.substr(1)));
        } else if (is("be")) {
            Set(m_s.be, value("be", v, relative) ? std::clamp(v, 0.0, 127.0) : 0.0, animated);
        } else if (is("pos") || is("pbo")) {
        } else if (is("p")) {
            m_s.p = value("p", v, relative) ? int(std::clamp(v, 0.0, 64.0)) : 0;
        }
    }

    // A vector clip (one or two arguments: [scale,] commands) is drawn as a mask.
    void Clip(const std::vector<std::string_view>& args) {
        if (args.size() != 1 && args.size() != 2)
            return;
        double scale = 1;
        if (args.size() == 2)
            Number(args[0], scale);
        Drawing(args.back(), int(std::clamp(scale, 1.0, 64.0)), true);
    }

    int NamedStyle(std::string_view name) const {
        for (int i = m_track.n_styles - 1; i >= 0; --i)
            if (m_track.styles[i].Name && name == m_track.styles[i].Name)
                return i;
        return m_event;
    }

    const ASS_Track& m_track;
    const double m_k, m_kx, m_kb;  // script units to pixels: of size, of clip x, of border
    int m_event = 0;                // the event's style
    State m_s;
    double m_cost = 0, m_largest = 0;
    double m_runW = 0, m_runH = 0;  // the glyphs since the last block or line break
};

// The numbers at the start of a tag's parentheses, up to the first that is
// none (a tag inside \t, or the closing parenthesis).
std::vector<double> LeadingNumbers(std::string_view args) {
    std::vector<double> numbers;
    const std::string text(args.substr(0, std::min(args.find(')'), args.size())));
    for (const char* at = text.c_str();;) {
        char* end = nullptr;
        const double value = std::strtod(at, &end);
        if (end == at || !std::isfinite(value))
            return numbers;
        numbers.push_back(value);
        while (*end == ' ' || *end == '\t')
            ++end;
        if (*end != ',')
            return numbers;
        at = end + 1;
    }
}

}  // namespace

// The override tags that make an event's look follow the clock: fades,
// moves, transforms and karaoke (an effect such as a banner, throughout).
Subtitles::Motion Subtitles::MotionOf(const ASS_Event& event) {
    Motion motion;
    const long long whole = event.Duration;
    const auto span = [&](double from, double to) {
        const auto ms = [](double value) { return static_cast<long long>(std::clamp(value, -1e15, 1e15)); };
        motion.spans.push_back({ms(std::floor(std::min(from, to))), ms(std::ceil(std::max(from, to)))});
    };
    if (event.Effect && *event.Effect) {
        span(0, double(whole));
        return motion;
    }
    const std::string_view text = event.Text ? event.Text : "";
    double karaoke = 0;  // ms from the start at which the next syllable starts
    for (size_t open = text.find('{'); open != std::string_view::npos; open = text.find('{', open + 1)) {
        const std::string_view block = text.substr(open + 1, text.find('}', open + 1) - open - 1);
        for (size_t at = block.find('\\'); at != std::string_view::npos; at = block.find('\\', at + 1)) {
            const std::string_view tag = block.substr(at + 1);
            const auto args = [&](size_t name) { return LeadingNumbers(tag.substr(name)); };
            if (tag.starts_with("fade(")) {
                const std::vector<double> n = args(5);
                n.size() >= 7 ? span(n[3], n[6]) : span(0, double(whole));
            } else if (tag.starts_with("fad(")) {
                const std::vector<double> n = args(4);
                if (n.size() >= 2) {
                    span(0, n[0]);
                    span(double(whole) - n[1], double(whole));
                }
            } else if (tag.starts_with("move(") || tag.starts_with("t(")) {
                // \move(x1,y1,x2,y2[,t1,t2]), \t([t1,t2,][accel,]tags): over
                // their times when given, else the whole event.
                const bool move = tag[0] == 'm';
                const std::vector<double> n = args(move ? 5 : 2);
                const size_t first = move ? 4 : 0;
                if (n.size() >= first + 2 && (n[first] != 0 || n[first + 1] != 0))
                    span(n[first], n[first + 1] > 0 ? n[first + 1] : double(whole));
                else
                    span(0, double(whole));
            } else if (tag.starts_with("kt")) {
                span(0, double(whole));
            } else if (tag.starts_with("k") || tag.starts_with("K")) {
                // \k and \ko change a syllable at its start; \kf and \K sweep it.
                const bool sweep = tag[0] == 'K' || tag.starts_with("kf");
                const size_t digits = tag[0] == 'K' || tag.size() < 2 || !std::isalpha(uint8_t(tag[1])) ? 1 : 2;
                const double cs = std::strtod(std::string(tag.substr(digits, 12)).c_str(), nullptr);
                const double length = std::isfinite(cs) ? std::clamp(cs, 0.0, 1e9) * 10 : 0;
                if (sweep)
                    span(karaoke, karaoke + length);
                else
                    motion.instants.push_back(static_cast<long long>(std::llround(karaoke)));
                karaoke += length;
            }
        }
    }
    return motion;
}

// The look of the events drawn at `atMs`, or none while one of them is in motion.
std::optional<Subtitles::Look> Subtitles::LookAt(const std::vector<int>& drawn, long long atMs) const {
    Look look{m_dScale, {}};
    for (int i : drawn) {
        const Motion& motion = m_eventMotion[size_t(i)];
        const long long since = atMs - m_pTrack->events[i].Start;
        for (const auto& [from, to] : motion.spans)
            if (since >= from && since <= to)
                return std::nullopt;
        const size_t passed = size_t(std::upper_bound(motion.instants.begin(), motion.instants.end(), since) -
                                     motion.instants.begin());
        look.events.push_back({i, passed});
    }
    return look;
}


// libass speaks through the debug trace only, like the rest of the engine.
static void AssMessage(int level, const char* format, va_list args, void*) {
    if (level > kAssMessageLevel || !DebugTraceEnabled())
        return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    DebugTrace("libass: %s\r\n", line);
}

Subtitles::Subtitles() {
    m_pLibrary = ass_library_init();
    if (m_pLibrary) {
        ass_set_message_cb(m_pLibrary, AssMessage, nullptr);
        m_pRenderer = ass_renderer_init(m_pLibrary);
    }
    if (m_pRenderer)
        ass_set_fonts(m_pRenderer, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
}

Subtitles::~Subtitles() {
    Clear();
    if (m_pRenderer)
        ass_renderer_done(m_pRenderer);
    if (m_pLibrary)
        ass_library_done(m_pLibrary);
}

std::vector<Subtitles::Choice> Subtitles::Find(const std::string& medium,
                                               const std::vector<VideoDemuxer::StreamInfo>& streams) {
    std::vector<Choice> choices;
    // film.srt, film.en.srt, film.eng.forced.ass; and the same in Subs/.
    const fs::path path(medium);
    const std::string stem = path.stem().string();
    std::vector<fs::path> dirs{path.parent_path().empty() ? fs::path(".") : path.parent_path()};
    for (const char* folder : kSubtitleFolders)
        dirs.push_back(dirs.front() / folder);
    std::vector<fs::path> files;
    for (const fs::path& dir : dirs) {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir, ec)) {
            const fs::path& file = entry.path();
            const std::string name = file.filename().string();
            const bool matches = dir == dirs.front() ? name.rfind(stem + ".", 0) == 0 : true;
            if (!matches || !IsSubtitleFile(file) || !entry.is_regular_file(ec))
                continue;
            if (const uintmax_t size = entry.file_size(ec); !ec && size > MaxFileSize(file))
                DebugTrace("subtitles: %s left out: %ju MB, more than a subtitle file has\r\n", file.c_str(),
                           size >> 20);
            else if (!ec)
                files.push_back(file);
        }
    }
    std::sort(files.begin(), files.end());
    // Files beside the medium first: a person put them there for it.
    for (const fs::path& file : files)
        choices.push_back(Choice{file.string(), -1, file.filename().string(), true});
    for (const VideoDemuxer::StreamInfo& stream : streams)
        choices.push_back(Choice{medium, stream.index, stream.label, stream.marked, stream.language, stream.title});
    return choices;
}

void Subtitles::StopReading() {
    m_bStop = true;
    if (m_reader.joinable())
        m_reader.join();
    m_bStop = false;
}

void Subtitles::Clear() {
    StopReading();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pTrack)
        ass_free_track(m_pTrack);
    m_pTrack = nullptr;
    m_current = Choice{};
    m_eventCost.clear();
    m_eventMotion.clear();
    m_lastLook.reset();
    m_nLeftOut = 0;
    m_bOverlayReady = m_bOverlayWhole = false;
    m_lastImages.clear();
    m_bitmaps.clear();
    m_nOpenBitmaps = m_nBitmapBytes = 0;
    m_nCanvasWidth = m_nCanvasHeight = 0;
}

void Subtitles::Load(const Choice& choice, double origin) {
    Clear();
    if (choice.path.empty() || !m_pLibrary)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pTrack = ass_new_track(m_pLibrary);
        m_current = choice;
        m_dOrigin = choice.stream < 0 ? origin : 0.0;
    }
    m_bReading = true;
    m_reader = std::thread(&Subtitles::Read, this, choice);
}

void Subtitles::Read(Choice choice) {
    ReadSource(choice);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_nLeftOut > 0)
        DebugTrace("subtitles: %s: %d left out as too large to draw\r\n", choice.path.c_str(), m_nLeftOut);
    m_bReading = false;
}

// Decodes every event of the source into the track, as it goes.
void Subtitles::ReadSource(const Choice& choice) {
    const char* path = choice.path.c_str();
    if (choice.stream < 0) {
        std::error_code ec;
        const uintmax_t size = fs::file_size(choice.path, ec);
        if (!ec && size > MaxFileSize(choice.path)) {
            DebugTrace("subtitles: %s refused: %ju MB, more than a subtitle file has\r\n", path, size >> 20);
            return;
        }
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw)
        return;
    // Clear and Load do not wait for a long file to be read.
    raw->interrupt_callback = {[](void* stop) { return int(static_cast<std::atomic<bool>*>(stop)->load()); }, &m_bStop};
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    if (choice.stream < 0)
        av_dict_set(&opts, "format_whitelist", kSubtitleFormats, 0);
    // A Blu-ray set's picture can be larger than the probe reads, and its
    // run-length bytes pass for some audio format's.
    const AVInputFormat* format =
        choice.stream < 0 && Lower(fs::path(choice.path).extension().string()) == ".sup" ? av_find_input_format("sup")
                                                                                          : nullptr;
    const int opened = avformat_open_input(&raw, path, format, &opts);
    av_dict_free(&opts);
    if (opened != 0) {
        DebugTrace("subtitles: %s could not be read\r\n", path);
        return;
    }
    std::unique_ptr<AVFormatContext, InputClose> input(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0)
        return;
    int index = choice.stream;
    if (index < 0)
        for (unsigned i = 0; i < raw->nb_streams && index < 0; ++i)
            if (IsSubtitle(raw->streams[i]))
                index = int(i);
    if (index < 0 || index >= int(raw->nb_streams) || !IsSubtitle(raw->streams[index])) {
        DebugTrace("subtitles: none in %s\r\n", path);
        return;
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i)
        raw->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    AVStream* st = raw->streams[index];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContextPtr ctx(avcodec_alloc_context3(codec));
    if (!codec || !ctx || avcodec_parameters_to_context(ctx.get(), st->codecpar) < 0)
        return;
    ctx->pkt_timebase = st->time_base;
    const AVCodecDescriptor* kind = avcodec_descriptor_get(st->codecpar->codec_id);
    if (choice.stream < 0 && kind && (kind->props & AV_CODEC_PROP_TEXT_SUB)) {  // bitmaps have no charset
        const std::string charset = DetectCharset(choice.path);
        if (!charset.empty()) {
            ctx->sub_charenc = av_strdup(charset.c_str());
            ctx->sub_charenc_mode = FF_SUB_CHARENC_MODE_PRE_DECODER;
        }
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0)
        return;
    const double timeBase = av_q2d(st->time_base);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nCanvasWidth = ctx->width;
        m_nCanvasHeight = ctx->height;
        if (ctx->subtitle_header && m_pTrack)
            ass_process_codec_private(m_pTrack, reinterpret_cast<char*>(ctx->subtitle_header),
                                      ctx->subtitle_header_size);
        if (m_pTrack) {
            SettlePlayRes(*m_pTrack);
            AddEvent(nullptr, 0, 0);  // any the header brought
        }
    }
    AVPacketPtr pkt(av_packet_alloc());
    while (!m_bStop && av_read_frame(raw, pkt.get()) >= 0) {
        if (pkt->stream_index == index && pkt->pts != AV_NOPTS_VALUE) {
            AVSubtitle sub{};
            int got = 0;
            if (avcodec_decode_subtitle2(ctx.get(), &sub, &got, pkt.get()) >= 0 && got) {
                const long long startMs = ClampStamp(double(pkt->pts) * timeBase * 1000);
                // A cue whose end is unknown or before its start shows for a while.
                long long durationMs = kUntoldDurationMs;
                if (pkt->duration > 0)
                    durationMs = ClampStamp(double(pkt->duration) * timeBase * 1000);
                else if (pkt->duration == 0 && sub.end_display_time > 0 && sub.end_display_time < INT32_MAX)
                    durationMs = sub.end_display_time;
                std::lock_guard<std::mutex> lock(m_mutex);
                for (unsigned r = 0; r < sub.num_rects && m_pTrack; ++r)
                    if (sub.rects[r]->type == SUBTITLE_ASS && sub.rects[r]->ass)
                        AddEvent(sub.rects[r]->ass, startMs, durationMs);
                if (!m_nCanvasWidth) {  // known once the first set is decoded
                    m_nCanvasWidth = ctx->width;
                    m_nCanvasHeight = ctx->height;
                }
                AddBitmaps(sub, double(pkt->pts) * timeBase);
                avsubtitle_free(&sub);
                if ((m_pTrack && m_pTrack->n_events >= kMaxEvents) || m_bitmaps.size() >= size_t(kMaxEvents)) {
                    DebugTrace("subtitles: %s: only its first %d events are shown\r\n", path, kMaxEvents);
                    break;
                }
            }
        }
        av_packet_unref(pkt.get());
    }
}

// Adds an event (under m_mutex; none: only accounts for those the track
// has) and what drawing it costs; one that no picture could hold stays in
// the track but is never due.
void Subtitles::AddEvent(char* chunk, long long startMs, long long durationMs) {
    if (chunk) {
        const size_t length = std::strlen(chunk);
        if (length > kMaxEventText) {
            if (m_nLeftOut++ == 0)
                DebugTrace("subtitles: an event of %zu KB at %lld ms left out\r\n", length >> 10, startMs);
            return;
        }
        ass_process_chunk(m_pTrack, chunk, int(length), startMs, durationMs);
    }
    for (int i = int(m_eventCost.size()); i < m_pTrack->n_events; ++i) {
        ASS_Event& event = m_pTrack->events[i];
        double largest = 0;
        double cost = DrawCost(*m_pTrack).Of(event, largest);
        if (cost > kPictureBudget || largest > kMaxOutline) {
            if (m_nLeftOut++ == 0)
                DebugTrace("subtitles: the event at %lld ms is too large to draw (%.0f M pixels), left out\r\n",
                           event.Start, std::max(cost, largest) / 1e6);
            event.Duration = 0;
            cost = largest = 0;
        }
        m_eventCost.push_back({float(cost), float(largest)});
        Motion motion = MotionOf(event);
        std::sort(motion.instants.begin(), motion.instants.end());
        m_eventMotion.push_back(std::move(motion));
    }
}

// A bitmap set shows from its start until its own end, or until the next
// set (PGS and DVB send an empty set to clear the screen).
void Subtitles::AddBitmaps(const AVSubtitle& sub, double start) {
    start += sub.start_display_time / 1000.0;
    if (!std::isfinite(start))
        return;
    for (size_t i = m_nOpenBitmaps; i < m_bitmaps.size(); ++i)
        m_bitmaps[i].end = std::min(m_bitmaps[i].end, start);
    m_nOpenBitmaps = m_bitmaps.size();
    const double end = sub.end_display_time > sub.start_display_time && sub.end_display_time != UINT32_MAX
                           ? start + (sub.end_display_time - sub.start_display_time) / 1000.0
                           : INFINITY;
    for (unsigned r = 0; r < std::min(sub.num_rects, kMaxRectsPerSet); ++r) {
        const AVSubtitleRect& rect = *sub.rects[r];
        if (rect.type != SUBTITLE_BITMAP || rect.w <= 0 || rect.h <= 0 || !rect.data[0] || !rect.data[1] ||
            rect.w > kMaxBitmapSide || rect.h > kMaxBitmapSide || rect.linesize[0] < rect.w)
            continue;
        Bitmap bitmap{start, end, rect.x, rect.y, rect.w, rect.h, {}, {}, {}};
        const auto* argb = reinterpret_cast<const uint32_t*>(rect.data[1]);
        bitmap.palette.assign(argb, argb + std::clamp(rect.nb_colors, 0, 256));  // in memory blue, green, red, alpha
        bitmap.rows.reserve(size_t(rect.h));
        const size_t room = kMaxBitmapBytes - m_nBitmapBytes;
        for (int y = 0; y < rect.h && bitmap.runs.size() <= room; ++y) {
            bitmap.rows.push_back(uint32_t(bitmap.runs.size()));
            const uint8_t* row = rect.data[0] + size_t(y) * rect.linesize[0];
            for (int x = 0; x < rect.w;) {
                int n = 1;
                while (x + n < rect.w && n < 255 && row[x + n] == row[x])
                    ++n;
                bitmap.runs.push_back(uint8_t(n));
                bitmap.runs.push_back(row[x]);
                x += n;
            }
        }
        if (bitmap.Bytes() > room) {
            if (m_nLeftOut++ == 0)
                DebugTrace("subtitles: pictures beyond %zu MB left out\r\n", kMaxBitmapBytes >> 20);
            continue;
        }
        m_nBitmapBytes += bitmap.Bytes();
        m_bitmaps.push_back(std::move(bitmap));
    }
}

bool Subtitles::DrawBitmaps(uint8_t* bgra, int width, int height, int stride, double at, int from, int to) {
    const int canvasW = m_nCanvasWidth > 0 ? m_nCanvasWidth : width;
    const int canvasH = m_nCanvasHeight > 0 ? m_nCanvasHeight : height;
    bool drawn = false;
    int count = 0;
    std::vector<uint8_t> line;
    for (const Bitmap& b : m_bitmaps) {
        if (!(at >= b.start && at < b.end) || count++ == kMaxBitmapsDrawn)
            continue;
        // Each picture pixel takes the subtitle pixel it falls on.
        const int x0 = int(int64_t(b.x) * width / canvasW), x1 = int(int64_t(b.x + b.w) * width / canvasW);
        const int y0 = int(int64_t(b.y) * height / canvasH), y1 = int(int64_t(b.y + b.h) * height / canvasH);
        line.resize(size_t(b.w));
        int decoded = -1;
        for (int y = std::max(y0, from); y < std::min(y1, to); ++y) {
            const int sy = std::min(b.h - 1, int(int64_t(y - y0) * b.h / std::max(y1 - y0, 1)));
            if (sy != decoded) {  // the row's runs into one index per pixel
                size_t run = b.rows[size_t(sy)];
                for (int x = 0; x < b.w && run + 1 < b.runs.size(); run += 2) {
                    const int n = std::min<int>(b.runs[run], b.w - x);
                    std::fill_n(line.begin() + x, n, b.runs[run + 1]);
                    x += n;
                }
                decoded = sy;
            }
            for (int x = std::max(x0, 0); x < std::min(x1, width); ++x) {
                const int sx = std::min(b.w - 1, int(int64_t(x - x0) * b.w / std::max(x1 - x0, 1)));
                const uint8_t index = line[size_t(sx)];
                if (index >= b.palette.size())
                    continue;
                const auto* src = reinterpret_cast<const uint8_t*>(&b.palette[index]);
                if (src[3] == 0)
                    continue;
                uint8_t* px = bgra + size_t(y) * stride + size_t(x) * 4;
                for (int c = 0; c < 3; ++c)
                    px[c] = uint8_t(px[c] + (src[c] - px[c]) * src[3] / 255);
                drawn = true;
            }
        }
    }
    return drawn;
}

std::vector<int> Subtitles::Drawn(long long atMs, int height) {
    std::vector<int> drawn;
    if (!m_pTrack)
        return drawn;
    // Larger pictures and text cost more.
    const double grow = std::max(1.0, double(height) / kReferenceHeight);
    const double factor = grow * grow * m_dScale * m_dScale;
    double used = 0;
    for (int i = 0; i < m_pTrack->n_events && int(drawn.size()) < kMaxEventsDrawn; ++i) {
        const ASS_Event& event = m_pTrack->events[i];
        if (!(double(atMs) >= double(event.Start) && double(atMs) < double(event.Start) + double(event.Duration)))
            continue;
        if (size_t(i) >= m_eventCost.size())
            continue;
        // Large bitmaps cost more than their share: one too large for the
        // picture is not drawn at all.
        const double cost = m_eventCost[size_t(i)].total * factor;
        if (used + cost > kPictureBudget || m_eventCost[size_t(i)].largest * factor > kMaxOutline)
            continue;
        used += cost;
        drawn.push_back(i);
    }
    return drawn;
}

Subtitles::Drawing Subtitles::Begin(int width, int height, double stamp) {
    Drawing drawing(*this, width, height);
    if (!m_pRenderer || width <= 0 || height <= 0 || !m_pTrack)
        return drawing;
    if (width != m_nFrameWidth || height != m_nFrameHeight) {
        ass_set_frame_size(m_pRenderer, width, height);
        ass_set_storage_size(m_pRenderer, width, height);
        m_nFrameWidth = width;
        m_nFrameHeight = height;
        m_bOverlayReady = m_bOverlayWhole = false;
    }
    ass_set_font_scale(m_pRenderer, m_dScale);
    const double at = (stamp - m_dOrigin - m_dDelay) * 1000.0;
    if (!std::isfinite(at))
        return drawing;
    drawing.m_bBitmaps = !m_bitmaps.empty();
    drawing.m_dAt = at / 1000.0;
    const long long atMs = ClampStamp(at);
    // Events due but beyond the picture's budget sit this picture out.
    const std::vector<int> shown = Drawn(atMs, height);
    // Nothing due, or the same text in the same state as on the last
    // picture: libass has nothing new to lay out.
    std::optional<Look> look = LookAt(shown, atMs);
    if (shown.empty()) {
        m_bOverlayWhole = false;
        return drawing;
    }
    if (m_bOverlayWhole && look && look == m_lastLook) {
        drawing.m_bLayer = true;
        return drawing;
    }
    m_lastLook = std::move(look);
    std::vector<std::pair<ASS_Event*, long long>> held;
    for (int i = 0, next = 0; i < m_pTrack->n_events; ++i) {
        if (next < int(shown.size()) && shown[size_t(next)] == i) {
            ++next;
            continue;
        }
        ASS_Event& event = m_pTrack->events[i];
        if (double(atMs) >= double(event.Start) && double(atMs) < double(event.Start) + double(event.Duration)) {
            held.emplace_back(&event, event.Duration);
            event.Duration = 0;
        }
    }
    int change = 0;
    ASS_Image* images = ass_render_frame(m_pRenderer, m_pTrack, atMs, &change);
    for (auto& [event, duration] : held)
        event->Duration = duration;
    PlanImages(images, change, drawing);
    return drawing;
}

// In the order libass gave: the bitmaps under the text, the layer, then the
// images blended straight over it. The images stay libass's until its next
// frame, which the lock this holds keeps off.
void Subtitles::Drawing::Rows(uint8_t* bgra, int stride, int from, int to) {
    from = std::max(from, 0), to = std::min(to, m_nHeight);
    if (from >= to)
        return;
    if (m_bBitmaps)
        m_bDrawn |= m_subtitles.DrawBitmaps(bgra, m_nWidth, m_nHeight, stride, m_dAt, from, to);
    if (m_bLayer)
        m_bDrawn |= m_subtitles.ApplyOverlay(bgra, stride, from, to);
    for (const ASS_Image* img : m_straight)
        m_bDrawn |= Blend(*img, bgra, m_nWidth, stride, from, to, false);
}

bool Subtitles::Render(uint8_t* bgra, int width, int height, int stride, double stamp) {
    Drawing drawing = Begin(width, height, stamp);
    drawing.Rows(bgra, stride, 0, height);
    return drawing.Drawn();
}

// Images that stayed as they were on the last picture libass drew (most of
// them, most of the time) are laid over the picture in one pass from the
// layer they were composed into once; those that changed (moving, sweeping,
// fading) are blended straight over it.
void Subtitles::PlanImages(const ASS_Image* images, int change, Drawing& drawing) {
    const int width = drawing.m_nWidth, height = drawing.m_nHeight;
    std::vector<const ASS_Image*> now;
    for (const ASS_Image* img = images; img; img = img->next)
        now.push_back(img);
    std::vector<Placed> placed;
    std::vector<bool> kept;
    const bool few = now.size() <= kMaxLayeredImages;  // to be compared with the last picture's
    // Out of motion (a karaoke syllable lit, an event come or gone) what is
    // drawn now stays until the look changes again: all of it is kept.
    const bool settled = change == 0 || m_lastLook.has_value();
    for (size_t i = 0; i < now.size() && few; ++i) {
        const ASS_Image& img = *now[i];
        placed.push_back({img.bitmap, img.w, img.h, img.stride, img.dst_x, img.dst_y, img.color});
        kept.push_back(settled || std::find(m_lastImages.begin(), m_lastImages.end(), placed.back()) != m_lastImages.end());
    }
    const bool layered = !now.empty() && few && size_t(width) * height <= kMaxOverlayPixels && NeverUnderChanged(placed, kept);
    if (layered) {
        std::vector<const ASS_Image*> still;
        std::vector<Placed> stillPlaced;
        for (size_t i = 0; i < now.size(); ++i)
            if (kept[i]) {
                still.push_back(now[i]);
                stillPlaced.push_back(placed[i]);
            }
        if (!(m_bOverlayReady && m_overlaid == stillPlaced))
            ComposeOverlay(still, stillPlaced, width, height);
    } else {
        m_bOverlayReady = false;
    }
    m_bOverlayWhole = m_bOverlayReady && layered && std::find(kept.begin(), kept.end(), false) == kept.end();
    drawing.m_bLayer = m_bOverlayReady && layered;
    for (size_t i = 0; i < now.size(); ++i)
        if (!layered || !kept[i])
            drawing.m_straight.push_back(now[i]);
    m_lastImages = std::move(placed);
}

// No image that changed lies under one that stayed (drawn after it where
// they meet), so the ones that stayed can go first, from the layer.
bool Subtitles::NeverUnderChanged(const std::vector<Placed>& images, const std::vector<bool>& kept) {
    for (size_t i = 0; i < images.size(); ++i) {
        if (kept[i])
            continue;
        for (size_t j = i + 1; j < images.size(); ++j)
            if (kept[j] && images[i].x < images[j].x + images[j].w && images[j].x < images[i].x + images[i].w &&
                images[i].y < images[j].y + images[j].h && images[j].y < images[i].y + images[i].h)
                return false;
    }
    return true;
}

// The rows of a layer holding `before` that differ once it holds `after`:
// those an image that came or went lies on, when the images the two have in
// common keep their order; else all of them.
std::vector<std::pair<int, int>> Subtitles::RowsToCompose(const std::vector<Placed>& before,
                                                          const std::vector<Placed>& after, int height) {
    const auto in = [](const std::vector<Placed>& images, const Placed& image) {
        return std::find(images.begin(), images.end(), image) != images.end();
    };
    std::vector<Placed> keptBefore, keptAfter;
    std::vector<char> changed(size_t(height), 0);
    const auto mark = [&](const Placed& image) {
        std::fill(changed.begin() + std::clamp(image.y, 0, height), changed.begin() + std::clamp(image.y + image.h, 0, height), 1);
    };
    for (const Placed& image : before)
        in(after, image) ? keptBefore.push_back(image) : mark(image);
    for (const Placed& image : after)
        in(before, image) ? keptAfter.push_back(image) : mark(image);
    if (keptBefore != keptAfter)
        return {{0, height}};
    std::vector<std::pair<int, int>> rows;
    for (int y = 0; y < height; ++y)
        if (changed[size_t(y)]) {
            if (rows.empty() || rows.back().second != y)
                rows.push_back({y, y});
            rows.back().second = y + 1;
        }
    return rows;
}

// The masks composed into one layer the size of the picture: per pixel the
// colour it adds and the share of the picture that shows through (255 for
// all of it), outside the rows' spans all picture. Where it held the images
// of an earlier picture, only the rows that differ are composed again. The
// pixels it changes are noted as runs.
void Subtitles::ComposeOverlay(const std::vector<const ASS_Image*>& images, std::vector<Placed> placed, int width,
                               int height) {
    constexpr uint32_t kClear = 0xff000000u;  // no colour, all the picture (blue, green, red, share in memory)
    const size_t bytes = size_t(width) * height * 4;
    const bool sameSize = m_overlay.size() == bytes && m_nOverlayWidth == width;
    if (!sameSize) {
        m_overlay.assign(bytes, 0);
        m_spans.assign(size_t(height), {0, width});  // all of it, to be made clear below
        m_nOverlayWidth = width;
    }
    const std::vector<std::pair<int, int>> rows = sameSize ? RowsToCompose(m_overlaid, placed, height)
                                                           : std::vector<std::pair<int, int>>{{0, height}};
    const auto pixel = [&](int y, int x) { return reinterpret_cast<uint32_t*>(m_overlay.data()) + size_t(y) * width + x; };
    for (auto [top, bottom] : rows)
        for (int y = top; y < bottom; ++y) {
            const auto [from, to] = m_spans[size_t(y)];
            SubtitlePixels::FillRow(pixel(y, from), to - from, kClear);
            m_spans[size_t(y)] = {width, 0};
        }
    for (const ASS_Image* img : images) {
        const int x0 = std::max(0, img->dst_x), x1 = std::min(width, img->dst_x + img->w);
        for (auto [top, bottom] : rows) {
            top = std::max(top, img->dst_y), bottom = std::min(bottom, img->dst_y + img->h);
            if (top >= bottom || x0 >= x1)
                continue;
            for (int y = top; y < bottom; ++y) {
                auto& span = m_spans[size_t(y)];
                span = {std::min(span.first, x0), std::max(span.second, x1)};
            }
            Blend(*img, m_overlay.data(), width, width * 4, top, bottom, true);
        }
    }
    m_overlaid = std::move(placed);
    // Runs of changed pixels, four at a time; runs of clear ones are left out.
    m_runs.clear();
    for (int y = 0; y < height; ++y) {
        const uint32_t* row = pixel(y, 0);
        const auto [from, to] = m_spans[size_t(y)];
        for (int x = from; x < to; x += 4) {
            const int n = std::min(4, to - x);
            bool clear = true;
#if defined(__SSE2__)
            if (n == 4)
                clear = _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x)),
                                                          _mm_set1_epi32(int(kClear)))) == 0xffff;
            else
#endif
                clear = std::all_of(row + x, row + x + n, [](uint32_t px) { return px == kClear; });
            if (clear)
                continue;
            if (!m_runs.empty() && m_runs.back().y == y && m_runs.back().to == x)
                m_runs.back().to = x + n;
            else
                m_runs.push_back({y, x, x + n, 0});
        }
    }
    // The runs' pixels one after another, so that laying them over a picture
    // reads the layer as one stream.
    uint32_t packed = 0;
    for (Run& run : m_runs) {
        run.at = packed;
        packed += uint32_t(run.to - run.from);
    }
    m_packed.resize(size_t(packed) * 4);
    for (const Run& run : m_runs)
        std::memcpy(m_packed.data() + size_t(run.at) * 4, pixel(run.y, run.from), size_t(run.to - run.from) * 4);
    m_bOverlayReady = true;
}

// Lays the composed layer over the rows [from, to) of the picture.
bool Subtitles::ApplyOverlay(uint8_t* bgra, int stride, int from, int to) const {
    bool any = false;
    auto run = std::lower_bound(m_runs.begin(), m_runs.end(), from, [](const Run& r, int y) { return r.y < y; });
    for (; run != m_runs.end() && run->y < to; ++run) {
        any = true;
        SubtitlePixels::ApplyRow(m_packed.data() + size_t(run->at) * 4,
                                 bgra + size_t(run->y) * stride + size_t(run->from) * 4, run->to - run->from);
    }
    return any;
}

// Lays one of libass's coverage masks in its colour over the rows [from, to)
// of the picture (or a layer being composed); true when it covers any of it.
bool Subtitles::Blend(const ASS_Image& img, uint8_t* bgra, int width, int stride, int from, int to, bool layer) {
    // The colour is RGBA with the alpha inverted: 0 is opaque.
    const int r = int(img.color >> 24), g = int(img.color >> 16 & 0xff), b = int(img.color >> 8 & 0xff);
    const int opacity = 255 - int(img.color & 0xff);
    if (opacity == 0)  // a layer's invisible part (a glow's fill)
        return false;
    const int x0 = std::max(0, -img.dst_x), x1 = std::min(img.w, width - img.dst_x);
    const int y0 = std::max({0, -img.dst_y, from - img.dst_y}), y1 = std::min(img.h, to - img.dst_y);
    bool any = false;
    for (int y = y0; y < y1 && x0 < x1; ++y)
        any |= SubtitlePixels::BlendRow(img.bitmap + size_t(y) * img.stride + x0,
                                        bgra + size_t(img.dst_y + y) * stride + size_t(img.dst_x + x0) * 4, x1 - x0, b,
                                        g, r, opacity, layer);
    return any;
}

std::string Subtitles::TextAt(double stamp) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const double at = (stamp - m_dOrigin - m_dDelay) * 1000.0;
    if (!m_pTrack || !std::isfinite(at))
        return "";
    std::vector<const ASS_Event*> due;
    for (int i : Drawn(ClampStamp(at), int(kReferenceHeight)))
        due.push_back(&m_pTrack->events[i]);
    std::stable_sort(due.begin(), due.end(),
                     [](const ASS_Event* a, const ASS_Event* b) { return a->ReadOrder < b->ReadOrder; });
    std::string text;
    for (const ASS_Event* event : due) {
        if (!event->Text)
            continue;
        if (!text.empty())
            text += '\n';
        // Override blocks {...} go; \N and \n are line breaks, \h a space.
        int depth = 0;
        for (const char* p = event->Text; *p; ++p) {
            if (*p == '{' || (*p == '}' && depth > 0)) {
                depth += *p == '{' ? 1 : -1;
            } else if (depth == 0 && p[0] == '\\' && (p[1] == 'N' || p[1] == 'n' || p[1] == 'h')) {
                text += p[1] == 'h' ? ' ' : '\n';
                ++p;
            } else if (depth == 0) {
                text += *p;
            }
        }
    }
    return text;
}
