#pragma once
#include "app/AnchorLayout.h"
#include "app/MprisHost.h"
#include "app/Playlist.h"
#include "app/RemoteConsent.h"
#include "app/ResumeStore.h"
#include "app/SkinControls.h"
#include "app/SkinDlg.h"
#include "engine/control/NetEntry.h"
#include "output/Mixer.h"
#include "output/qt/StaticVideo.h"
#include "platform/CopyData.h"
#include "share/UdpSocket.h"

#include <QElapsedTimer>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CMpris;
class QLabel;
class QMenu;
class QSocketNotifier;
class NetworkPanel;

// Control ids of the main window.
enum SivoControlId : uint32_t {
    IDC_OPEN = 1000, IDC_SHARE = 1001, IDC_PROGRESS = 1005, IDC_VOLUME = 1006, IDC_AUDIO = 1007,
    IDC_STOP = 1008, IDC_PREV = 1009, IDC_PLAY = 1010, IDC_NEXT = 1011, IDC_VIDEO = 1132
};

// The engine entries the window drives. The default calls the process-wide
// entry functions; tests put a recorder in its place.
class SivoEntries {
public:
    virtual ~SivoEntries() = default;
    virtual void LocalPlay(const char* path);
    virtual void Play();
    virtual void Pause();
    virtual void Stop();
    // To a position from the medium's start, or by seconds from the position
    // being heard; fractions count.
    virtual void SeekTo(double seconds);
    virtual void SeekBy(double seconds);
    virtual int GetPosition();
    // The position being heard, with its fraction.
    virtual double GetPositionSeconds();
    virtual int GetDuration();
    virtual void RemotePlay(const char* address, const char* name);
    virtual void StopAll();
    // Whether the player is paused (nothing open counts as paused).
    virtual bool IsPaused();
    // Empty when path can be played, else the one-line reason it cannot.
    virtual std::string CheckPlayable(const std::string& path);

    // Streams, subtitles, chapters and speed of the local medium playing.
    struct AudioStream {
        int index;
        std::string label;
        bool selected;
    };
    struct SubtitleChoice {
        std::string label;
        bool preferred;
        std::string path;  // the medium or a subtitle file
        int stream = -1;   // the stream in the medium; -1 for a file
    };
    struct Chapter {
        double start;  // seconds from the medium's start
        std::string title;
    };
    virtual std::vector<AudioStream> AudioStreams();
    virtual void SelectAudioStream(int streamIndex);
    virtual std::vector<SubtitleChoice> SubtitleChoices();
    // choice: an index into SubtitleChoices, -1 for none.
    virtual void SelectSubtitle(int choice);
    virtual int SelectedSubtitle();
    virtual void AddSubtitleFile(const std::string& path);
    virtual void SetSubtitleDelay(double seconds);
    virtual double SubtitleDelay();
    virtual void SetSubtitleScale(double scale);
    virtual double SubtitleScale();
    virtual std::vector<Chapter> Chapters();
    virtual void SetSpeed(double speed);
    virtual double Speed();
};

// Timer of the progress slider and deferred seeks.
inline constexpr int PROGRESS_TIMER_ID = 1;
inline constexpr int PROGRESS_TIMER_PERIOD_MS = 1000;
// A progress update waits until this long after the last seek: the tick that
// comes soon after a key or media-interface seek leaves the thumb where the
// seek put it, while the engine still refills from the new place; the tick a
// whole period after a dragged thumb's seek moves it again.
inline constexpr int SEEK_SETTLE_MS = 500;
// Pause between ending the audio thread and releasing the video control.
inline constexpr int SHUTDOWN_PAUSE_MS = 100;
// Size of the window before it is maximised.
inline constexpr int INITIAL_WINDOW_SIZE = 500;
// Announces the chosen share directory to the companion on the loopback.
inline constexpr char SHARE_ANNOUNCE_PREFIX[] = "setShareFile:";
inline constexpr char SHARE_ANNOUNCE_HOST[] = "127.0.0.1";

// Keys: the volume moves by this share of its range; seeks by these seconds.
inline constexpr int VOLUME_STEPS = 20;
inline constexpr int SEEK_SHORT_S = 5;
inline constexpr int SEEK_LONG_S = 60;
// In fullscreen the controls hide after this long without a mouse move.
inline constexpr int CONTROLS_HIDE_MS = 2000;

// A play request from a device nobody has allowed waits this long for an
// answer; at most this many devices wait at once (more are dropped).
inline constexpr int REMOTE_PLAY_ANSWER_MS = 30000;
inline constexpr size_t MAX_CONSENT_PROMPTS = 3;
// Brief notes over the video area stay this long.
inline constexpr int NOTE_MS = 3000;

// Positions within the first RESUME_FROM_S seconds or the last
// RESUME_BEFORE_END share of a medium are not remembered.
inline constexpr double RESUME_FROM_S = 5.0;
inline constexpr double RESUME_BEFORE_END = 0.05;
// A medium played from a peer resumes once its length is known, looked for
// this many watch periods after its key came.
inline constexpr int REMOTE_RESUME_TRIES = 40;
// The watch over the playing medium (its end, the A-B loop) looks this often,
// and this often while a loop is set.
inline constexpr int WATCH_PERIOD_MS = 250;
inline constexpr int LOOP_WATCH_PERIOD_MS = 40;
// A medium has ended when its position has stood this long within the last
// END_WINDOW_S seconds, unpaused.
inline constexpr int END_STILL_MS = 700;
inline constexpr double END_WINDOW_S = 1.5;
// A-B loop ends closer together than this are one point.
inline constexpr double LOOP_MIN_S = 0.2;

// Keys: subtitles move by this delay and size step; speed by this factor.
inline constexpr double SUBTITLE_DELAY_STEP_S = 0.1;
inline constexpr double SUBTITLE_SCALE_STEP = 0.1;
inline constexpr double SPEED_STEP = 1.1;
inline constexpr double MIN_SPEED = 0.25;
inline constexpr double MAX_SPEED = 4.0;
// Within this long of a chapter's start, "previous" goes to the chapter before.
inline constexpr double CHAPTER_RESTART_S = 2.0;

// The About item of the caption's menu.
inline constexpr int IDM_ABOUTBOX = 0x10;
inline constexpr char IDS_ABOUTBOX[] = "&About sivo(&A)...";

// The program's main window: video area between the skin's top and bottom
// bands, transport buttons and sliders along the bottom, the mixer, the UDP
// control socket, the copy-data channel and the one-second progress timer.
//
// Threads: UI thread only, like every widget. The player's presentation
// thread reaches the video control only through ShowPicture, which OnInitDialog
// points at it.
class CSivoDlg : public CSkinDlg, public MprisHost {
    Q_OBJECT
public:
    // appPath: directory of the executable; the skin is appPath + "/Skin".
    explicit CSivoDlg(const std::string& appPath, QWidget* pParent = nullptr);
    ~CSivoDlg() override;

    // Set before InitDialog: where the control socket and the copy-data channel
    // listen, and the port the share announcement goes to.
    void SetEndpoints(unsigned udpPort, const std::string& copyDataPath, unsigned sharePeerPort = UDP_PEER_PORT);
    // The port of peers' HTTP file servers, which a medium played from a peer
    // is read from for its resume key.
    void SetPeerHttpPort(int port) { m_nPeerHttpPort = port; }
    // Replaces the engine entries; set before InitDialog.
    void SetEntries(std::unique_ptr<SivoEntries> entries);

    // Handlers, public so the program's own channels and tests can reach them.
    void OnOpenFile();
    void OnPlayPause();
    void OnStop();
    void OnAudio();
    void OnShareFolder();
    // Remembers dir and announces it to the companion process.
    void ShareFolderChosen(const std::string& dir);
    void OnHScroll(int code, int pos, QWidget* pScrollBar);
    void OnTimer(int id);
    void OnCopyData(uint32_t code, const uint8_t* data, size_t size);
    void OnDblClkVideo();
    // Commands of the caption's menu: IDM_ABOUTBOX opens the About box.
    void OnSysCommand(int id);
    // The Settings dialog: the devices allowed to make the window play.
    void OnSettings();

    // A play request of the UDP control socket: `peer` sent it, asking for
    // `fileName` served by `server`. This machine and allowed devices play
    // at once; any other device is asked about over the video, one prompt
    // per device, and plays only once the person allows it.
    void OnRemotePlayRequest(const std::string& peer, const std::string& server, const std::string& fileName);
    // The prompts waiting for an answer, top first.
    std::vector<ConsentPrompt*> ConsentPrompts() const;
    // Answers the top prompt, if any (the keys Alt+A, Alt+D, Alt+I).
    void AnswerTopPrompt(ConsentPrompt::Answer answer);
    AllowedPeers& Allowed() { return m_allowed; }
    // How long a prompt waits (tests shorten it); set before the request.
    void SetConsentWait(int ms) { m_nConsentWaitMs = ms; }
    // The brief note over the video area, or empty.
    QString NoteText() const;

    // What keys, drops, other processes and the media interface ask for.
    // Plays a local file when it can be played; otherwise shows the reason
    // over the video area and leaves playback as it was. False then. The
    // position of the medium that played is remembered, the new one resumes
    // where it was left, and its folder becomes the list.
    bool OpenMedia(const std::string& path) override;
    // Files dropped together: the list, in their order; the first that can
    // be played plays.
    bool OpenFiles(const std::vector<std::string>& paths);
    // Through the list: false at its end or when nothing further plays.
    bool GoNext() override;
    bool GoPrevious() override;
    bool CanGoNext() const override { return m_playlist.HasNext(); }
    bool CanGoPrevious() const override { return m_playlist.HasPrevious(); }
    const Playlist& List() const { return m_playlist; }
    // The medium's folder is still being read.
    bool Listing() const { return m_bListing; }
    // Saves the picture shown, at the video's own size, as PNG under the
    // pictures folder (off the UI thread); a note says where.
    void TakeScreenshot();
    // The file the last screenshot went to, once written.
    const std::string& LastScreenshot() const { return m_strLastShot; }
    // The screenshots' folder: $XDG_PICTURES_DIR/sivo, else ~/Pictures/sivo.
    static std::string ScreenshotDir();
    // First A, then B, then off: playback loops from B back to A.
    void ToggleLoop();
    double LoopA() const { return m_dLoopA; }
    double LoopB() const { return m_dLoopB; }
    // One look at the playing medium: the loop, the end (the next file).
    void OnWatch();
    // The one place playback is paused or resumed: the player, the play
    // button's image and the media interface follow together.
    void SetPaused(bool paused) override;
    // Pauses when the player plays, else plays: the play button, the space
    // key and the media interface's PlayPause.
    void TogglePause() override;
    // Seeks to the position, clamped to the medium; a NaN is ignored.
    void SeekTo(double seconds) override;
    // Seeks by seconds from the position being heard.
    void SeekBy(double seconds) override;
    void StopPlayback() override;
    void ToggleMute();
    bool IsMuted() const { return m_bMuted; }
    // The volume slider's position as a share of its range, 0..1.
    double VolumeShare() const;
    // VolumeShare, or 0 while muted.
    double HeardVolume() const override;
    void SetVolumeShare(double share) override;
    void StepVolume(int steps);
    void SetFullScreen(bool on) override;
    bool IsFullScreen() const override { return m_bFullScreen; }
    void RaiseWindow() override;
    // Ends the program the ordinary way.
    void Quit() override;
    void ShowCaptionMenu(const QPoint& globalPos);

    // Streams, subtitles, chapters and speed; each change shows a brief note.
    // The next audio stream, round to the first.
    void CycleAudio();
    // The next subtitle, then none, then the first.
    void CycleSubtitle();
    void StepSubtitleDelay(double seconds);
    void StepSubtitleScale(double step);
    // Next: the first chapter after the position. Previous: the one before
    // the chapter playing when within CHAPTER_RESTART_S of its start, else
    // the start of the chapter playing.
    void StepChapter(bool forward);
    // Faster or slower by SPEED_STEP.
    void StepSpeed(bool faster);
    // Media seconds per second, MIN_SPEED..MAX_SPEED; a NaN is ignored.
    double Rate() override;
    void SetRate(double rate) override;
    // The caption menu's "Audio", "Subtitles" and "Chapters", as the medium
    // playing has them; rebuilt when a medium opens and before the menu shows.
    void RebuildTrackMenus();
    QMenu* AudioMenu() const { return m_pAudioMenu; }
    QMenu* SubtitleMenu() const { return m_pSubtitleMenu; }
    QMenu* ChapterMenu() const { return m_pChapterMenu; }

    // "Playing", "Paused" or "Stopped".
    const char* PlaybackStatus() override;
    // Elapsed and total time as the bottom band shows them ("0:17 / 1:32:05").
    QString TimeText();
    double PositionSeconds() override;
    int DurationSeconds() override;
    // The file name (or the remote name) of what plays; empty before any.
    const std::string& MediaName() const override { return m_strMediaName; }
    // The full path (or peer and name) of what plays.
    const std::string& MediaPath() const override { return m_strMediaPath; }
    // The reason shown over the video area, or empty.
    QString ReasonText() const override;
    bool ControlsShown() const { return m_bControlsShown; }
    SivoEntries& Entries() const { return *m_entries; }

    // Read-only views for the owner and tests.
    bool IsPlaying() const { return m_bPlaying; }
    bool IsAudioDown() const { return m_bAudioDown; }
    // Where the next tick seeks to; -1 for nowhere.
    double SeekTarget() const { return m_dSeekTarget; }
    const std::string& ShareDir() const { return m_strShareDir; }
    const std::string& SkinPath() const { return m_strSkinPath; }
    CStaticVideo* Video() const { return m_video; }
    // id: one of the seven button ids (any other gives the next button).
    CButtonEx& Button(uint32_t id);
    // id: IDC_VOLUME, else the progress slider.
    CSliderCtrlEx& Slider(uint32_t id);
    // The rectangle the video area formula gives for the current client size.
    QRect VideoArea() const;
    CUdpSocket& UdpSocket() { return m_udpSocket; }
    bool CopyDataReady() const { return m_copyData.Fd() >= 0; }
    NetworkPanel* Network() const { return m_pNetwork; }

protected:
    bool OnInitDialog() override;
    void OnSize(int type, int cx, int cy) override;
    void OnDestroy() override;
    // A right click on the caption opens its menu.
    void contextMenuEvent(QContextMenuEvent* event) override;
    void OnPaint(QPainter& painter) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    // Keys for any widget of the window, and mouse moves in fullscreen.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct KeyBinding {
        int key;
        Qt::KeyboardModifiers modifiers;
        std::function<void(CSivoDlg&)> action;
    };
    // Every key the window answers, in one table.
    static const std::vector<KeyBinding>& KeyBindings();
    bool HandleKey(int key, Qt::KeyboardModifiers modifiers);

    void ApplyLayout();
    // The nine controls in registration order.
    std::vector<QWidget*> Controls() const;
    // Narrower than the anchors need (and not maximised): every control
    // shrinks by one factor so all nine stay inside the window.
    void FitControls();
    void ShowControls(bool shown);
    void ShowReason(const QString& reason);
    // A line over the video area for a moment.
    void ShowNote(const QString& note, int ms = NOTE_MS);
    void PlaceOverlays();
    // Plays `name` served by `server`, as asked by this machine or a device allowed.
    void PlayRemote(const std::string& server, const std::string& name);
    // Plays a local file; with `listFolder` its folder becomes the list.
    bool PlayLocal(const std::string& path, bool listFolder);
    // Steps through the list until a file plays; false when none does.
    bool Step(bool forward);
    // Remembers where the local medium playing stands (or forgets it near
    // either end), before it gives way.
    void RememberPosition();
    void ResumeIfRemembered();
    // The streams chosen for the local medium playing, and choosing them again.
    ResumeTracks ChosenTracks();
    void ChooseTracks(const ResumeTracks& tracks);
    // Reads the content key of a medium played from a peer off the UI thread;
    // once it is in, the medium resumes where it was left (when its length
    // is known, looked at for up to `tries` watch periods).
    void KeyRemoteMedium(const std::string& server, const std::string& name);
    void ResumeWhenKnown(unsigned generation, int tries);
    // Drops the key being read, if any.
    void StopKeying();
    void ListFolder(const std::string& current);
    void ClearLoop();
    void JoinWorkers();
    void ConsentAnswered(ConsentPrompt* pPrompt, ConsentPrompt::Answer answer);
    void SetMediaName(const std::string& name, const std::string& path);
    QRect TimeTextRect() const;
    void ApplyGain();
    // A seek was made less than SEEK_SETTLE_MS ago.
    bool SeekSettling() const;
    bool MixerReady() const { return m_bMixerReady; }
    void InitSkinControls();
    void CreateControls();
    void PlaceVideo();
    void OnUdpReadable();
    void OnCopyDataReadable();
    // The state buttons show one image whatever the mouse does.
    void SetStateImage(CButtonEx& button, const char* image);
    std::string Skin(const char* file) const { return m_strSkinPath + file; }

    std::string m_strSkinPath;
    int m_nVolumeMax = 0;
    int m_nVolumeMin = 0;
    int m_nVolume = 0;
    bool m_bPlaying = false;
    bool m_bAudioDown = false;
    // Children are owned by Qt's parent chain; these point at them.
    CButtonEx* m_btnShare = nullptr;
    CButtonEx* m_btnNext = nullptr;
    CButtonEx* m_btnPlay = nullptr;
    CButtonEx* m_btnPrev = nullptr;
    CButtonEx* m_btnStop = nullptr;
    CButtonEx* m_btnAudio = nullptr;
    CSliderCtrlEx* m_sliderVolume = nullptr;
    CButtonEx* m_btnOpen = nullptr;
    CSliderCtrlEx* m_sliderProgress = nullptr;
    CMixer m_mixer;
    CStaticVideo* m_video = nullptr;
    // Seconds a dragged progress thumb asks for, -1 for none.
    double m_dSeekTarget = -1;
    // Where a seek put the slider and tells the media interface.
    void SeekMade(double target);
    // Started at each seek the window makes.
    QElapsedTimer m_seekClock;
    CQtLayoutParent m_layoutParent;
    CAnchorLayout m_layout;
    std::string m_strShareDir;
    CUdpSocket m_udpSocket;
    QSocketNotifier* m_pUdpNotifier = nullptr;
    CCopyDataChannel m_copyData;
    QSocketNotifier* m_pCopyDataNotifier = nullptr;
    QTimer m_timer;
    NetworkPanel* m_pNetwork = nullptr;

    std::unique_ptr<SivoEntries> m_entries;
    unsigned m_nUdpPort = UDP_CONTROL_PORT;
    unsigned m_nSharePeerPort = UDP_PEER_PORT;
    std::string m_strCopyDataPath;
    bool m_bAudioThreadStarted = false;

    bool m_bMixerReady = false;
    bool m_bMuted = false;
    bool m_bFullScreen = false;
    bool m_bControlsShown = true;
    QRect m_rcBeforeFullScreen;
    QTimer m_hideControlsTimer;
    std::string m_strMediaName;
    std::string m_strMediaPath;
    QLabel* m_pReason = nullptr;
    QString m_strReason;
    bool m_bStopped = true;
    CMpris* m_pMpris = nullptr;

    // Who sent the datagram being handled, as the control socket reads it.
    std::string m_strUdpPeer;
    AllowedPeers m_allowed;
    // Waiting prompts by device address.
    std::map<std::string, ConsentPrompt*> m_prompts;
    int m_nConsentWaitMs = REMOTE_PLAY_ANSWER_MS;
    QLabel* m_pNote = nullptr;
    QTimer m_noteTimer;

    ResumeStore m_resume;
    // Content key of the local medium playing; empty for none.
    std::string m_strMediaKey;
    // Reads a remote medium's key; results of an older reading are dropped.
    std::thread m_keyThread;
    std::atomic<bool> m_bKeyCancel{false};
    unsigned m_nKeyGeneration = 0;
    int m_nPeerHttpPort = kHttpPort;
    Playlist m_playlist;
    // Reads the medium's folder; results of an older listing are dropped.
    std::thread m_listThread;
    unsigned m_nListGeneration = 0;
    bool m_bListing = false;
    // Writes a screenshot.
    std::thread m_shotThread;
    std::string m_strLastShot;
    QTimer m_watchTimer;
    double m_dLastPosition = -1;
    QElapsedTimer m_stillClock;
    double m_dLoopA = -1;
    double m_dLoopB = -1;

    // Subtitle files dropped while a medium plays: added to its subtitles.
    // False (nothing added) unless every path is one and a medium plays.
    bool AddDroppedSubtitles(const std::vector<std::string>& paths);
    QMenu* m_pAudioMenu = nullptr;
    QMenu* m_pSubtitleMenu = nullptr;
    QMenu* m_pChapterMenu = nullptr;
};
