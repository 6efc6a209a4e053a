// Subtitles from the sources people have: text files beside a medium in the
// charsets they were written in, and bitmap streams (DVD, DVB, Blu-ray)
// drawn where and while their sets say.

#include <gtest/gtest.h>
#include <iconv.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/FramePicture.h"
#include "engine/Subtitles.h"
#include "engine/VideoDemuxer.h"
#include "engine/VideoFrame.h"
#include "output/OutputTestUtil.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 320, kHeight = 240;

// Text in the charset named (iconv's names), as a file written in it holds it.
std::string Encode(const std::string& utf8, const char* charset) {
    iconv_t cd = iconv_open(charset, "UTF-8");
    if (cd == iconv_t(-1)) {
        ADD_FAILURE() << "no converter to " << charset;
        return "";
    }
    std::string out(utf8.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* to = out.data();
    size_t toLeft = out.size();
    const bool ok = iconv(cd, &in, &inLeft, &to, &toLeft) != size_t(-1);
    iconv_close(cd);
    EXPECT_TRUE(ok) << "not writable in " << charset;
    out.resize(out.size() - toLeft);
    return out;
}

// Cue i shows from 1 + 2i to 2.5 + 2i seconds; "\n" in a line breaks it.
std::string Srt(const std::vector<std::string>& cues) {
    std::string srt;
    for (size_t i = 0; i < cues.size(); ++i) {
        const int start = int(1 + 2 * i);
        srt += std::to_string(i + 1) + "\r\n00:00:0" + std::to_string(start) + ",000 --> 00:00:0" +
               std::to_string(start + 1) + ",500\r\n";
        for (char c : cues[i])
            srt += c == '\n' ? std::string("\r\n") : std::string(1, c);
        srt += "\r\n\r\n";
    }
    return srt;
}
double CueMiddle(size_t i) { return 1.75 + 2.0 * double(i); }

// A picture of 4-byte pixels (blue, green, red, 0xFF), all of one colour.
struct Canvas {
    int width, height;
    std::vector<uint8_t> bits;
    explicit Canvas(int w = kWidth, int h = kHeight, uint32_t rgb = 0x000000) : width(w), height(h) {
        bits.resize(size_t(w) * h * 4);
        for (size_t i = 0; i < bits.size(); i += 4) {
            bits[i] = uint8_t(rgb), bits[i + 1] = uint8_t(rgb >> 8), bits[i + 2] = uint8_t(rgb >> 16);
            bits[i + 3] = 0xff;
        }
    }
    bool Draw(Subtitles& subs, double stamp) { return subs.Render(bits.data(), width, height, width * 4, stamp); }
    uint32_t Rgb(int x, int y) const {
        const uint8_t* px = &bits[(size_t(y) * width + x) * 4];
        return uint32_t(px[2]) << 16 | px[1] << 8 | px[0];
    }
};

// A medium in a folder of its own with the files given beside it.
std::string MediumWith(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string medium = dir.path + "/film.mkv";
    std::ofstream(medium, std::ios::binary) << "";
    for (const auto& [name, bytes] : files) {
        fs::create_directories(fs::path(dir.path + "/" + name).parent_path());
        std::ofstream(dir.path + "/" + name, std::ios::binary) << bytes;
    }
    return medium;
}

// Loads the only subtitle file beside `medium` and waits until its reader
// has reached `last` seconds; false when it never does.
bool LoadBeside(Subtitles& subs, const std::string& medium, double last) {
    const std::vector<Subtitles::Choice> choices = Subtitles::Find(medium);
    EXPECT_EQ(choices.size(), 1u);
    if (choices.size() != 1)
        return false;
    subs.Load(choices[0], 0.0);
    return WaitFor([&] { return !subs.TextAt(last).empty(); }, 10000);
}

struct CharsetCase {
    const char* what;
    const char* file;     // its name beside the medium
    const char* charset;  // written in
    const char* mark;     // bytes before the text
    std::vector<std::string> cues;
    const char* locale = "";  // the user's, when it matters
};

const CharsetCase kCharsetCases[] = {
    {"UTF-8", "film.srt", "UTF-8", "",
     {"Καλησπέρα, είδατε τον αδελφό μου σήμερα;", "Όχι, έφυγε νωρίς το πρωί\nκαι δεν έχει γυρίσει ακόμα.",
      "Περίεργο. Μου υποσχέθηκε να τηλεφωνήσει."}},
    {"UTF-8 with its mark", "film.de.srt", "UTF-8", "\xef\xbb\xbf",
     {"Guten Abend, haben Sie meinen Bruder gesehen?", "Nein, er ist heute früh gegangen – „bis später“, sagte er.",
      "Merkwürdig. Er wollte mich heute Abend anrufen."}},
    {"UTF-16 LE with its mark", "film.srt", "UTF-16LE", "\xff\xfe",
     {"Добрый вечер, вы не видели моего брата?", "Нет, он ушёл ещё утром\nи не вернулся.",
      "Странно. Он обещал позвонить мне сегодня."}},
    {"UTF-16 BE with its mark", "film.srt", "UTF-16BE", "\xfe\xff",
     {"こんばんは、今日は兄を見かけましたか？", "いいえ、朝早く出かけて、まだ戻っていません。",
      "おかしいですね。今夜電話すると約束したのに。"}},
    {"cp1250", "film.srt", "CP1250", "",
     {"Dzień dobry, czy mogę wejść?", "Oczywiście, proszę usiąść przy oknie.", "Dziękuję. Gdzie jest mój płaszcz?",
      "Zostawiłeś go wczoraj w kuchni,\nżółty szalik też."}},
    {"cp1251", "film.srt", "CP1251", "",
     {"Добрый вечер, вы не видели моего брата?", "Нет, он ушёл ещё утром и не вернулся.",
      "Странно. Он обещал позвонить мне сегодня.", "Подождите здесь, я спрошу у соседей."}},
    {"cp1252", "film.srt", "CP1252", "",
     {"Où est passé le chat ? Il était là ce matin.", "Je crois qu’il s’est caché sous le lit, comme d’habitude.",
      "« Ça suffit ! » a crié la voisine à côté.", "Très bien, je prépare le café… ça coûte 5 € maintenant."}},
    {"cp1256", "film.srt", "CP1256", "",
     {"مرحبا، هل رأيت أخي اليوم؟", "لا، لقد خرج في الصباح ولم يعد بعد.", "هذا غريب. وعدني بأن يتصل بي مساء اليوم.",
      "انتظر هنا، سأسأل الجيران عنه."}},
    {"GB18030", "film.srt", "GB18030", "",
     {"你好，你今天见到我哥哥了吗？", "没有，他早上就出去了，还没有回来。", "真奇怪。他答应今天晚上给我打电话。",
      "你在这里等一下，我去问问邻居。"}},
    {"Shift-JIS", "film.srt", "SHIFT_JIS", "",
     {"こんばんは、今日は兄を見かけましたか？", "いいえ、朝早く出かけて、まだ戻っていません。",
      "おかしいですね。今夜電話すると約束したのに。", "ここで待っていてください。近所の人に聞いてみます。"}},
    {"EUC-KR", "film.srt", "EUC-KR", "",
     {"안녕하세요, 오늘 제 형을 보셨나요?", "아니요, 아침 일찍 나가서 아직 돌아오지 않았어요.",
      "이상하네요. 오늘 밤에 전화하겠다고 약속했는데.", "여기서 기다리세요. 이웃 사람들에게 물어볼게요."}},
    // Windows's Shift-JIS: circled numbers and Roman numerals plain
    // Shift-JIS lacks.
    {"Shift-JIS as Windows writes it", "film.srt", "CP932", "",
     {"第①話　また会う日まで", "お兄ちゃん、どこに行ったの？", "Ⅱ号室で待っているって言ってたよ。", "ありがとう、すぐ行くね。"}},
    // A line or a word: too little for the detector; the language in the
    // file's name, or the user's, tells.
    {"one line of cp1250, named Czech", "film.cs.srt", "CP1250", "", {"Dobrý den, jak se máte?"}},
    {"a word of cp1256, named Arabic", "film.ara.forced.srt", "CP1256", "", {"شكرا"}},
    {"a line of cp1252 in Subs/, named Icelandic", "Subs/2_Icelandic.srt", "CP1252", "", {"Hæ, hvað segirðu?"}},
    {"a word of Shift-JIS, named Japanese", "film.ja.srt", "SHIFT_JIS", "", {"カタカナ"}},
    {"a word of Shift-JIS, the user Japanese", "film.srt", "SHIFT_JIS", "", {"カタカナ"}, "ja_JP.UTF-8"},
    {"a line of EUC-KR, named Korean", "film.ko.srt", "EUC-KR", "", {"네, 알겠어요."}},
};

}  // namespace

// Each file reads as the text that was written, cue by cue, and draws the
// same pixels as that text written in UTF-8.
TEST(SubtitleSourceTest, TextFilesReadInTheCharsetTheyWereWrittenIn) {
    for (const CharsetCase& c : kCharsetCases) {
        SCOPED_TRACE(c.what);
        std::optional<ScopedEnv> locale;
        if (*c.locale)
            locale.emplace("LC_ALL", c.locale);
        const std::string srt = Srt(c.cues);
        TempDir dir, reference;
        Subtitles subs, expected;
        ASSERT_TRUE(LoadBeside(subs, MediumWith(dir, {{c.file, c.mark + Encode(srt, c.charset)}}), CueMiddle(c.cues.size() - 1)));
        ASSERT_TRUE(LoadBeside(expected, MediumWith(reference, {{"film.srt", srt}}), CueMiddle(c.cues.size() - 1)));
        EXPECT_EQ(subs.TextAt(0.9), "");
        for (size_t i = 0; i < c.cues.size(); ++i) {
            EXPECT_EQ(subs.TextAt(CueMiddle(i)), c.cues[i]) << "cue " << i;
            Canvas drawn, wanted;
            EXPECT_TRUE(drawn.Draw(subs, CueMiddle(i)));
            wanted.Draw(expected, CueMiddle(i));
            EXPECT_TRUE(drawn.bits == wanted.bits) << "cue " << i << " drawn otherwise";
        }
        EXPECT_EQ(subs.TextAt(CueMiddle(c.cues.size() - 1) + 1.0), "");
    }
}

namespace {

// A set of a bitmap subtitle stream: a rectangle of one colour on the canvas
// the stream is made for, shown from start to end (seconds).
struct BitmapSet {
    double start, end;
    int x, y, w, h;
    uint32_t rgb;
};
constexpr int kCanvasWidth = 720, kCanvasHeight = 576;

// A Matroska file with one subtitle stream, the sets encoded by FFmpeg's
// encoder of `codec`; a set that needs one (DVB) is cleared by an empty one.
bool WriteBitmapStream(const std::string& path, AVCodecID codec, const std::vector<BitmapSet>& sets) {
    const AVCodec* encoder = avcodec_find_encoder(codec);
    AVCodecContextPtr enc(avcodec_alloc_context3(encoder));
    if (!encoder || !enc)
        return false;
    enc->width = kCanvasWidth;
    enc->height = kCanvasHeight;
    enc->time_base = AVRational{1, 1000};
    AVFormatContext* out = nullptr;
    if (avcodec_open2(enc.get(), encoder, nullptr) < 0 ||
        avformat_alloc_output_context2(&out, nullptr, "matroska", path.c_str()) < 0)
        return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closer(out, [](AVFormatContext* f) {
        avio_closep(&f->pb);
        avformat_free_context(f);
    });
    AVStream* st = avformat_new_stream(out, nullptr);
    if (!st || avcodec_parameters_from_context(st->codecpar, enc.get()) < 0 ||
        avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
        return false;
    st->time_base = AVRational{1, 1000};
    if (avformat_write_header(out, nullptr) < 0)
        return false;
    std::vector<uint8_t> buffer(1 << 20);
    const auto put = [&](AVSubtitle& sub, double at, double duration) {
        const int size = avcodec_encode_subtitle(enc.get(), buffer.data(), int(buffer.size()), &sub);
        AVPacketPtr pkt(av_packet_alloc());
        if (size <= 0 || av_new_packet(pkt.get(), size) < 0)
            return false;
        std::memcpy(pkt->data, buffer.data(), size_t(size));
        pkt->pts = pkt->dts = av_rescale_q(llround(at * 1000), AVRational{1, 1000}, st->time_base);
        pkt->duration = av_rescale_q(llround(duration * 1000), AVRational{1, 1000}, st->time_base);
        pkt->stream_index = st->index;
        return av_interleaved_write_frame(out, pkt.get()) >= 0;
    };
    for (const BitmapSet& set : sets) {
        std::vector<uint8_t> indices(size_t(set.w) * set.h, 1);  // every pixel colour 1
        uint32_t palette[4] = {0, 0xff000000u | set.rgb, 0, 0};   // ARGB
        AVSubtitleRect rect{};
        rect.type = SUBTITLE_BITMAP;
        rect.x = set.x, rect.y = set.y, rect.w = set.w, rect.h = set.h;
        rect.nb_colors = 4;
        rect.data[0] = indices.data();
        rect.linesize[0] = set.w;
        rect.data[1] = reinterpret_cast<uint8_t*>(palette);
        AVSubtitleRect* rects[] = {&rect};
        AVSubtitle sub{};
        sub.num_rects = 1;
        sub.rects = rects;
        sub.end_display_time = uint32_t(llround((set.end - set.start) * 1000));
        sub.pts = llround(set.start * AV_TIME_BASE);
        if (!put(sub, set.start, set.end - set.start))
            return false;
        if (codec == AV_CODEC_ID_DVB_SUBTITLE) {
            AVSubtitle clear{};
            clear.pts = llround(set.end * AV_TIME_BASE);
            if (!put(clear, set.end, 0))
                return false;
        }
    }
    return av_write_trailer(out) >= 0;
}

// The same sets as a Blu-ray subtitle file (.sup), for which FFmpeg has no
// encoder: per set a display set of composition, window, palette, object
// (run-length coded) and end segments, and one with no object at its end.
std::string WritePgs(const std::vector<BitmapSet>& sets, int canvasWidth = kCanvasWidth,
                     int canvasHeight = kCanvasHeight) {
    std::string sup;
    const auto be = [](std::string& to, uint32_t value, int bytes) {
        for (int i = bytes - 1; i >= 0; --i)
            to += char(value >> (8 * i) & 0xff);
    };
    const auto segment = [&](double at, uint8_t type, const std::string& body) {
        sup += "PG";
        be(sup, uint32_t(llround(at * 90000)), 4);
        be(sup, 0, 4);
        be(sup, type, 1);
        be(sup, uint32_t(body.size()), 2);
        sup += body;
    };
    int number = 0;
    for (const BitmapSet& set : sets) {
        for (const bool shown : {true, false}) {
            const double at = shown ? set.start : set.end;
            std::string composition;
            be(composition, canvasWidth, 2), be(composition, canvasHeight, 2), be(composition, 0x10, 1);
            be(composition, number++, 2), be(composition, shown ? 0x80 : 0x00, 1), be(composition, 0, 2);
            be(composition, shown ? 1 : 0, 1);
            if (shown)  // object 0 in window 0, uncropped, at its place
                be(composition, 0, 2), be(composition, 0, 2), be(composition, set.x, 2), be(composition, set.y, 2);
            segment(at, 0x16, composition);
            std::string window;
            be(window, 1, 2), be(window, set.x, 2), be(window, set.y, 2), be(window, set.w, 2), be(window, set.h, 2);
            segment(at, 0x17, window);
            if (shown) {
                // Colour 1 in studio-range BT.601 Y, Cr, Cb, opaque.
                const double r = (set.rgb >> 16 & 0xff) / 255.0, g = (set.rgb >> 8 & 0xff) / 255.0,
                             b = (set.rgb & 0xff) / 255.0;
                std::string palette;
                be(palette, 0, 2), be(palette, 1, 1);
                be(palette, uint32_t(lround(16 + 65.481 * r + 128.553 * g + 24.966 * b)), 1);
                be(palette, uint32_t(lround(128 + 112.0 * r - 93.786 * g - 18.214 * b)), 1);
                be(palette, uint32_t(lround(128 - 37.797 * r - 74.203 * g + 112.0 * b)), 1);
                be(palette, 0xff, 1);
                segment(at, 0x14, palette);
                std::string lines;  // each line one run of colour 1, then its end
                for (int y = 0; y < set.h; ++y) {
                    be(lines, 0, 1), be(lines, 0xc000 | set.w, 2), be(lines, 1, 1);
                    be(lines, 0, 2);
                }
                std::string object;
                be(object, 0, 2), be(object, 0, 1), be(object, 0xc0, 1), be(object, uint32_t(lines.size() + 4), 3);
                be(object, set.w, 2), be(object, set.h, 2);
                segment(at, 0x15, object + lines);
            }
            segment(at, 0x80, "");
        }
    }
    return sup;
}

struct BitmapCase {
    const char* what;
    AVCodecID codec;
    bool inMedium;  // a stream of the medium, else a file beside it
};

}  // namespace

// Each set is drawn where its stream places it, scaled from the canvas it
// was made for to the picture's size, in its colour, from its start until
// its end, and nothing outside that time or place.
TEST(SubtitleSourceTest, BitmapStreamsDrawnWhereAndWhileTheirSetsSay) {
    const std::vector<BitmapSet> sets = {{1.0, 2.0, 100, 400, 200, 60, 0xff0000}, {3.0, 4.0, 400, 60, 120, 100, 0x00ff00}};
    const BitmapCase cases[] = {
        {"DVD", AV_CODEC_ID_DVD_SUBTITLE, true},
        {"DVB", AV_CODEC_ID_DVB_SUBTITLE, true},
        {"Blu-ray", AV_CODEC_ID_HDMV_PGS_SUBTITLE, false},
    };
    const std::string clip = TestMedia("subsrc-black-5s.mp4", "-f lavfi -i color=c=black:s=320x256:r=25:d=5 "
                                                              "-c:v libx264 -preset ultrafast -pix_fmt yuv420p");
    for (const BitmapCase& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string stream = dir.path + "/stream.mkv", medium = dir.path + "/film.mkv";
        if (c.inMedium) {
            ASSERT_TRUE(WriteBitmapStream(stream, c.codec, sets));
            const std::string mux = "ffmpeg -nostdin -loglevel error -y -i '" + clip + "' -i '" + stream +
                                    "' -map 0:v -map 1:s -c copy -metadata:s:s:0 language=fre -disposition:s:0 default '" +
                                    medium + "'";
            ASSERT_EQ(std::system(mux.c_str()), 0);
        } else {
            fs::copy_file(clip, medium);
            std::ofstream(dir.path + "/film.fr.sup", std::ios::binary) << WritePgs(sets);
        }

        // The demuxer that opened the medium lists its stream, or the file is found beside it.
        VideoDemuxer demuxer;
        ASSERT_EQ(demuxer.open(medium.c_str()), 0);
        const std::vector<Subtitles::Choice> choices =
            Subtitles::Find(medium, demuxer.listStreams(AVMEDIA_TYPE_SUBTITLE));
        ASSERT_EQ(choices.size(), 1u);
        EXPECT_EQ(choices[0].stream, c.inMedium ? 1 : -1);
        EXPECT_EQ(choices[0].label, c.inMedium ? "fre" : "film.fr.sup");
        EXPECT_TRUE(choices[0].preferred);

        Subtitles subs;
        subs.Load(choices[0], 0.0);
        // Half the canvas: each set at half its place and size.
        const int w = kCanvasWidth / 2, h = kCanvasHeight / 2;
        const uint32_t grey = 0x404040;
        ASSERT_TRUE(WaitFor([&] { Canvas p(w, h, grey); return p.Draw(subs, 3.5); }, 10000));
        struct Probe {
            double at;
            int shown;  // the set drawn, -1 for none
        } probes[] = {{0.9, -1}, {1.05, 0}, {1.95, 0}, {2.1, -1}, {2.9, -1}, {3.05, 1}, {3.95, 1}, {4.1, -1}};
        for (const Probe& probe : probes) {
            Canvas picture(w, h, grey);
            EXPECT_EQ(picture.Draw(subs, probe.at), probe.shown >= 0) << probe.at;
            for (size_t s = 0; s < sets.size(); ++s) {
                const BitmapSet& set = sets[s];
                // Inside the set's place, a pixel in from each edge; outside, one beyond it.
                const int left = set.x / 2 + 1, right = (set.x + set.w) / 2 - 2;
                const int top = set.y / 2 + 1, bottom = (set.y + set.h) / 2 - 2;
                for (auto [x, y] : {std::pair{left, top}, {right, bottom}, {(left + right) / 2, (top + bottom) / 2}}) {
                    const uint32_t px = picture.Rgb(x, y);
                    if (int(s) == probe.shown) {
                        for (int shift : {0, 8, 16})
                            EXPECT_NEAR(int(px >> shift & 0xff), int(set.rgb >> shift & 0xff), 6)
                                << "set " << s << " at " << probe.at << " (" << x << "," << y << ")";
                    } else {
                        EXPECT_EQ(px, grey) << "set " << s << " at " << probe.at << " (" << x << "," << y << ")";
                    }
                }
                for (auto [x, y] : {std::pair{left - 3, top}, {right + 3, bottom}, {left, top - 3}, {right, bottom + 3}})
                    EXPECT_EQ(picture.Rgb(x, y), grey) << "beside set " << s << " at " << probe.at;
            }
        }
    }
}

namespace {

// A fresh directory in the build tree (a file of 100 MB is not for /tmp),
// removed with everything in it.
struct BuildTempDir {
    std::string path;
    BuildTempDir() {
        fs::create_directories(SIVO_TEST_MEDIA_DIR);
        std::string pattern = std::string(SIVO_TEST_MEDIA_DIR) + "/hostile-XXXXXX";
        path = mkdtemp(pattern.data()) ? pattern : std::string();
    }
    ~BuildTempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Ends the test program when a case runs past its deadline: a hang fails
// at once, naming the case, instead of at the test runner's timeout.
class Deadline {
public:
    Deadline(std::string what, int seconds)
        : m_thread([this, what = std::move(what), seconds] {
              std::unique_lock<std::mutex> lock(m_mutex);
              if (!m_done.wait_for(lock, std::chrono::seconds(seconds), [&] { return m_over; })) {
                  std::fprintf(stderr, "%s: still running after %d s\n", what.c_str(), seconds);
                  std::abort();
              }
          }) {}
    ~Deadline() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_over = true;
        }
        m_done.notify_all();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_over = false;
    std::thread m_thread;
};

// Resident memory of this process, in MB.
long ResidentMb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

std::string AssScript(int playResX, int playResY, const std::string& events) {
    return "[Script Info]\nScriptType: v4.00+\nPlayResX: " + std::to_string(playResX) +
           "\nPlayResY: " + std::to_string(playResY) +
           "\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
           "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, "
           "Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
           "Style: Default,DejaVu Sans,20,&H00FFFFFF,&H000000FF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,1,2,0,2,"
           "10,10,10,1\n\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n" +
           events;
}

// An event from `from` to `to` whole seconds.
std::string Dialogue(int from, int to, const std::string& text) {
    char line[96];
    std::snprintf(line, sizeof line, "Dialogue: 0,0:00:%02d.00,0:00:%02d.00,Default,,0,0,0,,", from, to);
    return line + text + "\n";
}

std::string Repeated(int count, const std::function<std::string(int)>& one) {
    std::string all;
    for (int i = 0; i < count; ++i)
        all += one(i);
    return all;
}

struct Probe {
    double at;
    const char* text;  // the text due; null: the case checks it itself
    bool drawn;
};

struct HostileCase {
    const char* what;
    const char* file;  // its name beside the medium
    std::function<void(std::ostream&)> write;
    bool offered;  // beside the medium, it is a choice
    std::vector<Probe> probes;
    std::function<void(Subtitles&)> check = nullptr;
    long maxGrowthMb = 0;  // memory read in at most (0: not measured)
};

// The events due at `at` are the first ones read ("<prefix>0", "<prefix>1",
// ...), more than `above` and fewer than `below` of them.
std::function<void(Subtitles&)> FirstEvents(double at, std::string prefix, int above, int below) {
    return [=](Subtitles& subs) {
        std::istringstream text(subs.TextAt(at));
        int count = 0;
        for (std::string line; std::getline(text, line); ++count)
            ASSERT_EQ(line, prefix + std::to_string(count));
        EXPECT_GT(count, above);
        EXPECT_LT(count, below);
    };
}

std::function<void(std::ostream&)> Bytes(std::string bytes) {
    return [bytes = std::move(bytes)](std::ostream& out) { out << bytes; };
}

const char kAbsurdEvents[] =
    "{\\fs100000}Huge\n"
    "{\\bord10000}Bordered\n"
    "{\\fscx100000\\fscy100000}Stretched\n"
    "{\\p1}m 0 0 l 100000 0 100000 100000 0 100000{\\p0}\n"
    "{\\clip(m 0 0 l 30000 0 30000 30000 0 30000)}Clipped\n"
    "{\\fs20\\t(\\fs+10000)}Growing\n";

std::vector<HostileCase> HostileCases() {
    std::vector<HostileCase> cases;
    cases.push_back({"a file of 100 MB", "film.srt",
                     [](std::ostream& out) {
                         const std::string cue = "1\n00:00:01,000 --> 00:00:02,500\nA line of a file too large\n\n";
                         std::string block;
                         while (block.size() < (1u << 20))
                             block += cue;
                         for (int mb = 0; mb < 100; ++mb)
                             out << block;
                     },
                     false, {{1.5, "", false}}});
    cases.push_back({"binary noise", "film.srt", Bytes(Noise(1 << 20)), true,
                     {{0.5, "", false}, {1.5, "", false}, {100, "", false}}});
    // Bytes no charset of subtitles has (0x81, 0x8d, 0x8f, 0x90 and 0x9d are
    // not even Windows-1252's) still show as the cue, in UTF-8.
    cases.push_back({"text in no known charset", "film.srt",
                     Bytes("1\n00:00:01,000 --> 00:00:02,000\nCaf\xe9 \x81\x8d\x8f\x90\x9d \xfe\xff\xfe\n\n"), true,
                     {{0.5, "", false}, {1.5, nullptr, true}, {2.5, "", false}},
                     [](Subtitles& subs) {
                         const std::string text = subs.TextAt(1.5);
                         EXPECT_EQ(text.substr(0, 3), "Caf");
                         EXPECT_FALSE(Encode(text, "UTF-16LE").empty()) << "not UTF-8: " << text;
                     }});
    // Overlapping cues show together, in the order they start; a cue whose
    // end comes before its start shows until the next; one starting before
    // the medium shows from its start.
    cases.push_back({"overlapping, reversed and negative times", "film.srt",
                     Bytes("1\n00:00:01,000 --> 00:00:03,000\nA\n\n"
                           "2\n00:00:02,000 --> 00:00:04,000\nB\n\n"
                           "3\n00:00:06,000 --> 00:00:05,000\nC\n\n"
                           "4\n00:00:-3,000 --> 00:00:00,500\nN\n\n"
                           "5\n00:00:09,000 --> 00:00:10,000\nD\n\n"),
                     true,
                     {{0.2, "N", true}, {0.7, "", false}, {1.5, "A", true}, {2.5, "A\nB", true}, {3.5, "B", true},
                      {4.5, "", false}, {6.5, "C", true}, {8.5, "C", true}, {9.5, "D", true}, {10.5, "", false}}});
    // Each absurd event is left out; the sensible ones around them show,
    // a blur beyond libass's own limit at that limit.
    cases.push_back({"ASS with absurd sizes", "film.ass",
                     [](std::ostream& out) {
                         std::istringstream absurd(kAbsurdEvents);
                         std::string events;
                         int second = 1;
                         for (std::string line; std::getline(absurd, line); ++second)
                             events += Dialogue(second, second + 1, line);
                         events += Dialogue(10, 11, "{\\blur10000}Soft");
                         events += Dialogue(11, 12, "A sensible line");
                         out << AssScript(384, 288, events);
                     },
                     true,
                     {{1.5, "", false}, {2.5, "", false}, {3.5, "", false}, {4.5, "", false}, {5.5, "", false},
                      {6.5, "", false}, {10.5, "Soft", true}, {11.5, "A sensible line", true}}});
    cases.push_back({"a script 100000 pixels high", "film.ass",
                     Bytes(AssScript(100000, 100000, Dialogue(1, 2, "{\\fs5000}Giant canvas"))), true,
                     {{1.5, "Giant canvas", true}}});
    cases.push_back({"a script one pixel high", "film.ass", Bytes(AssScript(1, 1, Dialogue(1, 2, "Tiny canvas"))),
                     true, {{1.5, "", false}}});
    // As many as a picture holds, the first read first.
    cases.push_back({"10,000 events at once", "film.ass",
                     Bytes(AssScript(384, 288,
                                     Repeated(10000, [](int i) { return Dialogue(1, 3, "Line " + std::to_string(i)); }) +
                                         Dialogue(4, 5, "After"))),
                     true, {{2.0, nullptr, true}, {4.5, "After", true}}, FirstEvents(2.0, "Line ", 20, 10000)});
    // Large signs, each drawable alone: as many as a picture's budget holds.
    cases.push_back({"300 large signs at once", "film.ass",
                     Bytes(AssScript(384, 288, Repeated(300, [](int i) {
                                         return Dialogue(1, 3, "{\\fs100\\bord10\\blur5}Sign " + std::to_string(i));
                                     }))),
                     true, {{2.0, nullptr, true}}, FirstEvents(2.0, "Sign ", 0, 100)});
    cases.push_back({"10,000 events of absurd size", "film.ass",
                     Bytes(AssScript(384, 288, Repeated(10000, [](int i) {
                                         return Dialogue(1, 3, "{\\fs100000\\bord10000}Huge " + std::to_string(i));
                                     }) + Dialogue(4, 5, "After"))),
                     true, {{2.0, "", false}, {4.5, "After", true}}});
    // Pictures of a size the format allows, each of one colour: kept as the
    // runs they are, not as pixels (24 of them would be 1.5 GB).
    std::vector<BitmapSet> large;
    for (int i = 0; i < 24; ++i)
        large.push_back({double(i), i + 0.5, 0, 0, 4000, 4000, 0x00ff00});
    cases.push_back({"Blu-ray pictures 4000 pixels square", "film.sup", Bytes(WritePgs(large, 4000, 4000)), true,
                     {{0.25, nullptr, true}, {0.75, "", false}, {23.25, nullptr, true}, {24, "", false}}, nullptr,
                     256});
    return cases;
}

}  // namespace

// What a broken or hostile subtitle file costs is bounded: each is shown as
// far as sensible or refused, read and drawn (at 1080 lines) within a
// deadline that only a hang misses.
TEST(SubtitleSourceTest, HostileFilesShownAsFarAsSensibleOrRefused) {
    for (const HostileCase& c : HostileCases()) {
        SCOPED_TRACE(c.what);
        Deadline deadline(c.what, 120);
        BuildTempDir dir;
        ASSERT_FALSE(dir.path.empty());
        const std::string medium = dir.path + "/film.mkv", file = dir.path + "/" + c.file;
        std::ofstream(medium) << "";
        {
            std::ofstream out(file, std::ios::binary);
            c.write(out);
        }
        const std::vector<Subtitles::Choice> choices = Subtitles::Find(medium);
        EXPECT_EQ(choices.size(), c.offered ? 1u : 0u);

        const long before = ResidentMb();
        Subtitles subs;
        subs.Load(Subtitles::Choice{file, -1, c.file, true}, 0.0);
        ASSERT_TRUE(WaitFor([&] { return !subs.Reading(); }, 60000)) << "never read to its end";
        if (c.maxGrowthMb > 0) {
            EXPECT_LT(ResidentMb() - before, c.maxGrowthMb);
        }
        for (const Probe& probe : c.probes) {
            if (probe.text) {
                EXPECT_EQ(subs.TextAt(probe.at), probe.text) << "at " << probe.at;
            }
            Canvas picture(1920, 1080);
            EXPECT_EQ(picture.Draw(subs, probe.at), probe.drawn) << "at " << probe.at;
        }
        if (c.check)
            c.check(subs);
    }
}

namespace {

// A picture whose every pixel differs: what lies under the text shows
// through its transparent parts.
Canvas Gradient(int width, int height) {
    Canvas canvas(width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* px = &canvas.bits[(size_t(y) * width + x) * 4];
            px[0] = uint8_t(x * 255 / width), px[1] = uint8_t(y * 255 / height), px[2] = uint8_t((x + y) & 0xff);
        }
    return canvas;
}

// The largest difference of a channel between two pictures; -1 when a
// pixel's fourth byte changed.
int LargestDifference(const Canvas& a, const Canvas& b) {
    int largest = 0;
    for (size_t i = 0; i < a.bits.size(); ++i) {
        if (i % 4 == 3 && (a.bits[i] != 0xff || b.bits[i] != 0xff))
            return -1;
        largest = std::max(largest, std::abs(int(a.bits[i]) - int(b.bits[i])));
    }
    return largest;
}

}  // namespace

// Text that stays as it was from one picture to the next is laid over each
// as it was over the first: border, shadow, blur and see-through colours,
// events side by side on the same rows and one over another, at each size.
TEST(SubtitleSourceTest, TextThatStaysLooksTheSameOnEveryPicture) {
    struct Case {
        const char* what;
        std::string events;
    } cases[] = {
        {"a line with border, shadow and blur",
         Dialogue(1, 5, "{\\bord4\\shad3\\blur2}Layered line of text")},
        {"see-through colours over one another",
         Dialogue(1, 5, "{\\an5\\pos(192,144)\\fs60\\1a&H80&\\3a&H40&\\bord6}Over") +
             Dialogue(1, 5, "{\\an5\\pos(200,150)\\fs40\\1c&H00FF00&\\1a&HA0&\\blur4}Under")},
        {"side by side on the same rows",
         Dialogue(1, 5, "{\\an7\\pos(10,100)\\bord2}Left") + Dialogue(1, 5, "{\\an9\\pos(374,100)\\bord2}Right")},
        {"a drawing with a blurred edge",
         Dialogue(1, 5, "{\\an7\\pos(40,40)\\p1\\blur8\\1c&H3040C0&\\1a&H40&}m 0 0 l 200 0 200 80 0 80{\\p0}")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string medium = MediumWith(dir, {{"film.ass", AssScript(384, 288, c.events)}});
        Subtitles subs;
        subs.Load(Subtitles::Find(medium).at(0), 0.0);
        ASSERT_TRUE(WaitFor([&] { return !subs.Reading(); }, 10000));
        for (auto [w, h] : {std::pair{640, 480}, {1280, 720}, {333, 250}}) {
            const Canvas under = Gradient(w, h);
            Canvas first = under;
            ASSERT_TRUE(first.Draw(subs, 2.0)) << w << "x" << h;
            EXPECT_GT(LargestDifference(first, under), 100) << w << "x" << h;
            for (double at : {2.04, 2.08, 2.12}) {  // the same text: drawn from what was kept
                Canvas next = under;
                EXPECT_TRUE(next.Draw(subs, at)) << w << "x" << h << " at " << at;
                const int difference = LargestDifference(next, first);
                EXPECT_GE(difference, 0) << "the fourth byte changed";
                EXPECT_LE(difference, 3) << w << "x" << h << " at " << at;
            }
            Canvas after = under;
            EXPECT_FALSE(after.Draw(subs, 6.0));
            EXPECT_EQ(LargestDifference(after, under), 0) << "drawn after its end";
        }
    }
}

// Text whose look follows the clock (fades, moves, transforms, karaoke, a
// scrolling effect) drawn picture after picture at 30 a second looks at
// each moment as a renderer that draws only that moment draws it: nothing
// kept from an earlier picture is laid over a later one that differs.
TEST(SubtitleSourceTest, TextInMotionLooksOnEveryPictureAsAtItsOwnTime) {
    const std::string karaoke = "{\\k40}Ka{\\k40}ra{\\k60}o{\\k80}ke{\\k40} line";
    struct Case {
        const char* what;
        std::string events;
    } cases[] = {
        {"fades in and out", Dialogue(1, 3, "{\\fad(400,600)\\bord3}Fading line")},
        {"fades with seven numbers", Dialogue(1, 3, "{\\fade(255,0,255,200,500,1200,1600)}Fading twice")},
        {"moves for a while", Dialogue(1, 3, "{\\move(40,200,300,60,300,900)\\an7}Moving")},
        {"transforms for a while", Dialogue(1, 3, "{\\t(200,700,\\fscx180\\1c&H00FFFF&)}Growing")},
        {"karaoke syllable by syllable", Dialogue(1, 3, karaoke)},
        {"karaoke sweeps", Dialogue(1, 3, "{\\kf50}Swe{\\K70}eping {\\kf40}text")},
        {"scrolls as an effect", "Dialogue: 0,0:00:01.00,0:00:03.00,Default,,0,0,0,Scroll up;40;240;30,Scrolling\n"},
        {"a still line beside a moving one",
         Dialogue(1, 3, "{\\an8}Still at the top") + Dialogue(1, 3, "{\\move(40,240,300,240)}Moving below")},
        {"a line that goes and one that comes while another stays",
         Dialogue(1, 3, "{\\an8}Staying at the top") + Dialogue(1, 2, "{\\an2}Going at the bottom") +
             Dialogue(2, 3, "{\\an5\\bord3}Coming in the middle")},
        {"a moving line under a still box",
         Dialogue(1, 3, "{\\move(20,150,360,150)\\fs40}Passing under") +
             "Dialogue: 1,0:00:01.00,0:00:03.00,Default,,0,0,0,,{\\an7\\pos(150,110)\\p1\\1a&H40&}m 0 0 l 80 0 80 80 0 80\n"},
    };
    constexpr int kW = 384, kH = 288;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const Subtitles::Choice choice = Subtitles::Find(MediumWith(dir, {{"film.ass", AssScript(kW, kH, c.events)}})).at(0);
        Subtitles playing;
        playing.Load(choice, 0.0);
        ASSERT_TRUE(WaitFor([&] { return !playing.Reading(); }, 10000));
        const Canvas under = Gradient(kW, kH);
        int compared = 0;
        for (int frame = 27; frame <= 93; ++frame) {
            const double at = frame / 30.0;
            Canvas drawn = under;
            drawn.Draw(playing, at);
            if (frame % 5 != 0)
                continue;
            Subtitles fresh;
            fresh.Load(choice, 0.0);
            ASSERT_TRUE(WaitFor([&] { return !fresh.Reading(); }, 10000));
            Canvas wanted = under;
            wanted.Draw(fresh, at);
            const int difference = LargestDifference(drawn, wanted);
            EXPECT_GE(difference, 0) << "the fourth byte changed";
            EXPECT_LE(difference, 3) << "at " << at;
            ++compared;
        }
        EXPECT_EQ(compared, 13);
    }
}

namespace {

// A decoded picture of `format` whose every sample differs, in its range.
std::unique_ptr<VideoFrame> PatternFrame(AVPixelFormat format, int width, int height) {
    AVFrame* frame = av_frame_alloc();
    frame->width = width, frame->height = height, frame->format = format;
    std::unique_ptr<VideoFrame> picture;
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (av_frame_get_buffer(frame, 0) == 0) {
        const bool wide = desc->comp[0].depth > 8;
        for (int p = 0; p < 4 && frame->data[p]; ++p) {
            const int rows = p == 1 || p == 2 ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
            for (int y = 0; y < rows; ++y)
                for (int i = 0; i < frame->linesize[p] / (wide ? 2 : 1); ++i) {
                    const int value = i * 7 + y * 3 + p * 50;
                    if (wide)
                        reinterpret_cast<uint16_t*>(frame->data[p] + y * frame->linesize[p])[i] = uint16_t(value & 0x3ff);
                    else
                        frame->data[p][y * frame->linesize[p] + i] = uint8_t(value);
                }
        }
        picture = VideoFrame::TakeFrom(frame, 0, 0);
    }
    av_frame_free(&frame);
    return picture;
}

}  // namespace

// A picture painted with its subtitles (drawn into each band of rows as it
// is made) holds exactly what drawing them over the whole painted picture
// gives: for text kept in the layer and text blended straight, for bitmap
// sets, in each kind of picture a decoder gives and at each size shown.
TEST(SubtitleSourceTest, PaintedPicturesHoldTheirSubtitlesAsDrawnOverTheWhole) {
    TempDir dir;
    const std::string text = MediumWith(
        dir, {{"text/film.ass",
               AssScript(384, 288,
                         Dialogue(1, 3, "{\\move(20,250,360,20)\\fs40\\bord3}Passing under") +
                             "Dialogue: 1,0:00:01.00,0:00:03.00,Default,,0,0,0,,{\\an7\\pos(150,110)\\p1\\1a&H40&"
                             "\\blur3}m 0 0 l 80 0 80 80 0 80\n" +
                             Dialogue(1, 3, "{\\an2\\bord4\\shad3}A line at the bottom"))},
              {"bitmap/film.sup", WritePgs({{1.0, 3.0, 40, 20, 600, 500, 0x20c040}})}});
    struct Picture {
        const char* what;
        AVPixelFormat format;
        int width, height, shownWidth, shownHeight;
    } pictures[] = {
        {"4:2:0 as it is", AV_PIX_FMT_YUV420P, 640, 360, 640, 360},
        {"4:2:0 of odd size", AV_PIX_FMT_YUV420P, 641, 361, 641, 361},
        {"NV12 enlarged", AV_PIX_FMT_NV12, 320, 180, 960, 540},
        {"10-bit 4:2:2 made smaller", AV_PIX_FMT_YUV422P10LE, 1280, 720, 500, 281},
        {"packed BGR enlarged", AV_PIX_FMT_BGR24, 300, 200, 450, 300},
    };
    for (const char* folder : {"text", "bitmap"}) {
        const fs::path medium = fs::path(dir.path) / folder / "film.mkv";
        std::ofstream(medium) << "";
        const Subtitles::Choice choice = Subtitles::Find(medium.string()).at(0);
        for (const Picture& p : pictures) {
            SCOPED_TRACE(std::string(folder) + ": " + p.what);
            auto banded = std::make_shared<Subtitles>(), whole = std::make_shared<Subtitles>();
            for (Subtitles* subs : {banded.get(), whole.get()}) {
                subs->Load(choice, 0.0);
                ASSERT_TRUE(WaitFor([&] { return !subs->Reading(); }, 10000));
            }
            // The second and third pictures keep part of the text and move the rest.
            for (double at : {2.0, 2.0 + 1 / 30.0, 2.0 + 2 / 30.0}) {
                const FramePicture with(PatternFrame(p.format, p.width, p.height), at, 0, banded);
                const FramePicture without(PatternFrame(p.format, p.width, p.height), at, 0, nullptr);
                Canvas painted(p.shownWidth, p.shownHeight), wanted(p.shownWidth, p.shownHeight);
                ASSERT_TRUE(with.Paint(painted.bits.data(), p.shownWidth * 4, p.shownWidth, p.shownHeight));
                ASSERT_TRUE(without.Paint(wanted.bits.data(), p.shownWidth * 4, p.shownWidth, p.shownHeight));
                const Canvas bare = wanted;
                ASSERT_TRUE(wanted.Draw(*whole, at)) << at;
                EXPECT_GT(LargestDifference(wanted, bare), 100) << at;
                EXPECT_EQ(LargestDifference(painted, wanted), 0) << at;
            }
        }
    }
}
