// Subtitles from the sources people have: text files beside a medium in the
// charsets they were written in, and bitmap streams (DVD, DVB, Blu-ray)
// drawn where and while their sets say.

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/TestMedia.h"
#include "engine/FfmpegPtr.h"
#include "engine/Subtitles.h"
#include "engine/VideoDemuxer.h"
#include "output/OutputTestUtil.h"

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
