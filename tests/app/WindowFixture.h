#pragma once
// The window under test: a private application directory, channels on
// private endpoints, the engine entries replaced by a recorder.
#include "app/MprisHost.h"
#include "app/sivoDlg.h"
#include "common/TestMedia.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace windowtest {

namespace fs = std::filesystem;

using Request = std::pair<std::string, std::string>;

// Records what the window asks of the engine, and answers position and duration.
struct RecordingEntries : SivoEntries {
    void LocalPlay(const char* path) override { localPlays.emplace_back(path); }
    void Play() override { ++plays; paused = false; }
    void Pause() override { ++pauses; paused = true; }
    bool IsPaused() override { return paused; }
    void Stop() override { ++stops; }
    void SeekTo(double seconds) override { seeks.push_back(seconds); }
    void SeekBy(double seconds) override { seekBys.push_back(seconds); }
    int GetPosition() override { return static_cast<int>(position); }
    double GetPositionSeconds() override { return position; }
    int GetDuration() override { return duration; }
    void RemotePlay(const char* address, const char* name) override { remotePlays.emplace_back(address, name); }
    void StopAll() override { ++stopAlls; }
    std::vector<double> seeks, seekBys;
    std::vector<std::string> localPlays;
    bool paused = true;
    std::vector<Request> remotePlays;
    int plays = 0, pauses = 0, stops = 0, stopAlls = 0, duration = 0;
    double position = 0;
};

inline std::string Call(const char* name, double value) {
    char text[96];
    std::snprintf(text, sizeof text, "%s %g", name, value);
    return text;
}

// The recorder, with a medium of two audio streams, two subtitles and three
// chapters; every call that changes something is kept in order.
struct TrackEntries : RecordingEntries {
    std::vector<AudioStream> AudioStreams() override { return streams; }
    void SelectAudioStream(int index) override {
        calls.push_back(Call("SelectAudioStream", index));
        for (AudioStream& st : streams)
            st.selected = st.index == index;
    }
    std::vector<SubtitleChoice> SubtitleChoices() override { return subtitles; }
    void SelectSubtitle(int choice) override {
        calls.push_back(Call("SelectSubtitle", choice));
        subtitle = choice;
    }
    int SelectedSubtitle() override { return subtitle; }
    void AddSubtitleFile(const std::string& path) override {
        calls.push_back("AddSubtitleFile " + path);
        subtitles.push_back({fs::path(path).filename().string(), true, path, -1});
        subtitle = static_cast<int>(subtitles.size()) - 1;
    }
    void SetSubtitleDelay(double seconds) override {
        calls.push_back(Call("SetSubtitleDelay", seconds));
        delay = seconds;
    }
    double SubtitleDelay() override { return delay; }
    void SetSubtitleScale(double s) override {
        calls.push_back(Call("SetSubtitleScale", s));
        scale = s;
    }
    double SubtitleScale() override { return scale; }
    std::vector<Chapter> Chapters() override { return chapters; }
    void SetSpeed(double s) override {
        calls.push_back(Call("SetSpeed", s));
        speed = s;
    }
    double Speed() override { return speed; }
    void SeekTo(double seconds) override {
        RecordingEntries::SeekTo(seconds);
        calls.push_back(Call("SeekTo", seconds));
    }
    std::string Last() const { return calls.empty() ? std::string() : calls.back(); }

    std::vector<AudioStream> streams{{1, "eng - Main", true}, {2, "eng - Commentary", false}};
    std::vector<SubtitleChoice> subtitles{{"film.srt", true, "film.srt", -1}, {"fre - Forced & signs", false, "film.mkv", 2}};
    int subtitle = 0;
    double delay = 0, scale = 1, speed = 1;
    std::vector<Chapter> chapters{{0, "Opening"}, {60, "Middle"}, {120, "End"}};
    std::vector<std::string> calls;
};

// Generous: the CI machine may be busy with other builds.
constexpr auto kWindowEventWait = std::chrono::seconds(15);

// Runs the event loop until `done` holds or the wait ends.
inline bool PumpUntil(const std::function<bool()>& done) {
    for (const auto deadline = std::chrono::steady_clock::now() + kWindowEventWait; !done();) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Runs the event loop for `ms`.
inline void PumpFor(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    PumpUntil([&] { return std::chrono::steady_clock::now() > end; });
}

// The left (or another) button, held, at x and half the widget's height.
inline void Mouse(QWidget& widget, QEvent::Type type, int x, Qt::MouseButton button = Qt::LeftButton) {
    const QPointF at(x, widget.height() / 2);
    QMouseEvent event(type, at, widget.mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

// A key press sent straight to `target`.
inline void Press(QWidget& target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QApplication::sendEvent(&target, &press);
}

inline QUrl FileUrl(const std::string& path) { return QUrl::fromLocalFile(QString::fromStdString(path)); }

// Drags `urls` over `target` and drops them there; whether the drag was taken.
inline bool Drop(QWidget& target, const QList<QUrl>& urls) {
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    QDropEvent dropped(QPointF(300, 300), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &dropped);
    return enter.isAccepted();
}

// Runs `open`, which shows a modal dialog over `window`; `inspect` sees that
// dialog, which is then closed. False when no dialog came up.
inline bool WithDialog(QWidget& window, const std::function<void()>& open, const std::function<void(QDialog&)>& inspect) {
    bool seen = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget* pTop : QApplication::topLevelWidgets())
            if (auto* pDialog = qobject_cast<QDialog*>(pTop); !seen && pDialog && pDialog != &window && pDialog->isVisible()) {
                seen = true;
                inspect(*pDialog);
                pDialog->reject();
            }
    });
    poll.start(20);
    open();
    return seen;
}

// A window over a private application directory, its channels on private endpoints.
class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sivo-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
        // What the window keeps for the person stays in the test's directory.
        for (const char* variable : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_PICTURES_DIR"})
            setenv(variable, (m_dir + "/" + variable).c_str(), 1);
    }
    void TearDown() override {
        m_dlg.reset();
        fs::remove_all(m_dir);
    }
    // A new window whose engine entries are `entries` (a plain recorder by default).
    CSivoDlg& Open(RecordingEntries* entries = nullptr) {
        m_dlg = std::make_unique<CSivoDlg>(m_dir);
        m_dlg->SetEntries(std::unique_ptr<SivoEntries>(m_entries = entries ? entries : new RecordingEntries));
        m_dlg->SetEndpoints(0, CopyDataSocket());
        EXPECT_TRUE(m_dlg->InitDialog());
        return *m_dlg;
    }
    std::string CopyDataSocket() const { return m_dir + "/copydata"; }

    // The video area and the nine controls for a client of w x h.
    void ExpectPlacesFor(int w, int h) {
        CSivoDlg& dlg = *m_dlg;
        ASSERT_TRUE(PumpUntil([&] { return dlg.size() == QSize(w, h); })) << w << "x" << h;
        const int T = dlg.TopBand(), B = dlg.BottomBand(), R = dlg.FrameAllowance();
        EXPECT_EQ(dlg.Video()->geometry(), QRect(0, T - 4, w - R + 4, h - B - T + 8));
        for (auto [id, left, fromBottom, width, height] :
             {std::tuple{IDC_AUDIO, 18, 37, 31, 22}, {IDC_VOLUME, 58, 40, 200, 30}, {IDC_STOP, 300, 59, 148, 59},
              {IDC_PREV, 468, 59, 110, 59}, {IDC_PLAY, 598, 65, 72, 69}, {IDC_NEXT, 690, 59, 110, 59},
              {IDC_OPEN, 820, 59, 148, 59}, {IDC_SHARE, 1028, 52, 34, 32}, {IDC_PROGRESS, 1072, 20, 200, 20}}) {
            const bool slider = id == IDC_VOLUME || id == IDC_PROGRESS;
            EXPECT_EQ(slider ? dlg.Slider(id).geometry() : dlg.Button(id).geometry(),
                      QRect(left, h - fromBottom, width, height)) << id << " at " << w << "x" << h;
        }
    }

    std::string m_dir;
    std::unique_ptr<CSivoDlg> m_dlg;
    RecordingEntries* m_entries = nullptr;
};

} // namespace windowtest
