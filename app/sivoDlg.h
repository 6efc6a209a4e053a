#pragma once
#include "app/AnchorLayout.h"
#include "app/SkinControls.h"
#include "app/SkinDlg.h"
#include "output/Mixer.h"
#include "output/qt/StaticVideo.h"
#include "platform/CopyData.h"
#include "share/UdpSocket.h"

#include <QTimer>

#include <cstdint>
#include <memory>
#include <string>

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
    virtual void Seek(int seconds);
    virtual int GetPosition();
    virtual int GetDuration();
    virtual void RemotePlay(const char* address, const char* name);
    virtual void StopAll();
};

// Timer of the progress slider and deferred seeks.
inline constexpr int PROGRESS_TIMER_ID = 1;
inline constexpr int PROGRESS_TIMER_PERIOD_MS = 1000;
// A progress update waits until this long after the last seek.
inline constexpr uint32_t SEEK_SETTLE_MS = 5;
// Pause between ending the audio thread and freeing the frame buffer.
inline constexpr int SHUTDOWN_PAUSE_MS = 100;
// Size of the window before it is maximised.
inline constexpr int INITIAL_WINDOW_SIZE = 500;
// Announces the chosen share directory to the companion on the loopback.
inline constexpr char SHARE_ANNOUNCE_PREFIX[] = "setShareFile:";
inline constexpr char SHARE_ANNOUNCE_HOST[] = "127.0.0.1";

// The About item of the caption's menu.
inline constexpr int IDM_ABOUTBOX = 0x10;
inline constexpr char IDS_ABOUTBOX[] = "&About sivo(&A)...";

// Tick count (ms) at the last executed seek; 0 after each progress update.
extern uint32_t g_dwLastSeekTick;

// The program's main window: video area between the skin's top and bottom
// bands, transport buttons and sliders along the bottom, the mixer, the UDP
// control socket, the copy-data channel and the one-second progress timer.
//
// Threads: UI thread only, like every widget. The players' threads reach the
// video control only through g_pVideoWnd.
class CSivoDlg : public CSkinDlg {
    Q_OBJECT
public:
    // appPath: directory of the executable; the skin is appPath + "/Skin".
    explicit CSivoDlg(const std::string& appPath, QWidget* pParent = nullptr);
    ~CSivoDlg() override;

    // Set before InitDialog: where the control socket and the copy-data channel
    // listen, and the port the share announcement goes to.
    void SetEndpoints(unsigned udpPort, const std::string& copyDataPath, unsigned sharePeerPort = UDP_PEER_PORT);
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

    // Read-only views for the owner and tests.
    bool IsPlaying() const { return m_bPlaying; }
    bool IsAudioDown() const { return m_bAudioDown; }
    int SeekTarget() const { return m_nSeekTarget; }
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

private:
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
    int m_nSeekTarget = -1;
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
};
