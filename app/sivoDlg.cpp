#include "app/sivoDlg.h"
#include "app/NetworkPanel.h"

#include "engine/control/NetEntry.h"
#include "engine/control/PlayEntry.h"
#include "output/PlaySound.h"
#include "output/VideoWindow.h"
#include "platform/Sleep.h"
#include "platform/Trace.h"

#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QVBoxLayout>
#include <QScreen>
#include <QSocketNotifier>

#include <chrono>
#include <cstdlib>

uint32_t g_dwLastSeekTick = 0;

namespace {

// Mixer line and mode of the wave output.
constexpr uint32_t kMixerLineWaveOut = 0x1003;

uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

} // namespace

// SivoEntries: the process-wide entries.

void SivoEntries::LocalPlay(const char* path) { ::LocalPlay(path); }
void SivoEntries::Play() { ::Play(); }
void SivoEntries::Pause() { ::Pause(); }
void SivoEntries::Stop() { ::Stop(); }
void SivoEntries::Seek(int seconds) { ::Seek(seconds); }
int SivoEntries::GetPosition() { return ::GetPosition(); }
int SivoEntries::GetDuration() { return ::GetDuration(); }
void SivoEntries::RemotePlay(const char* address, const char* name) { ::RemotePlay(address, name); }
void SivoEntries::StopAll() { ::StopAll(); }

// Construction and start-up.

CSivoDlg::CSivoDlg(const std::string& appPath, QWidget* pParent)
    : CSkinDlg(pParent),
      m_strSkinPath(appPath + "/Skin"),
      m_mixer(kMixerLineWaveOut, CMixer::kModeWaveOut),
      m_layoutParent(this),
      m_layout(&m_layoutParent),
      m_entries(std::make_unique<SivoEntries>()),
      m_strCopyDataPath(CopyDataPath()) {
    CreateControls();
    m_pNetwork = new NetworkPanel(this, [this] { return VideoArea(); },
                                  [this](const std::string& address, const std::string& name) {
                                      m_entries->RemotePlay(address.c_str(), name.c_str());
                                  });
    SetImage(Skin("/main/bg-top-left.png"), Skin("/main/bg-top-mid.png"), Skin("/main/bg-top-right.png"),
             Skin("/main/bg-left.png"), Skin("/main/bg-right.png"), Skin("/main/bg-bottom-left.png"),
             Skin("/main/bg-bottom-mid.png"), Skin("/main/bg-bottom-right.png"), Skin("/main/bg-color.png"));
    SetMaxPic(Skin("/Common/SysBtn/button-max-nomal.png"), Skin("/Common/SysBtn/button-max-over.png"),
              Skin("/Common/SysBtn/button-max-down.png"));
    m_bPlaying = m_bAudioDown = false;
}

CSivoDlg::~CSivoDlg() {
    DestroyOnce();
}

void CSivoDlg::SetEndpoints(unsigned udpPort, const std::string& copyDataPath, unsigned sharePeerPort) {
    m_nUdpPort = udpPort;
    m_strCopyDataPath = copyDataPath;
    m_nSharePeerPort = sharePeerPort;
}

void CSivoDlg::SetEntries(std::unique_ptr<SivoEntries> entries) {
    if (entries)
        m_entries = std::move(entries);
}

// The nine controls exist from construction (the binding step); images,
// ranges and places come in InitSkinControls.
void CSivoDlg::CreateControls() {
    const auto button = [this](CButtonEx*& member, uint32_t id) {
        member = new CButtonEx(this);
        SetControlId(member, id);
    };
    const auto slider = [this](CSliderCtrlEx*& member, uint32_t id) {
        member = new CSliderCtrlEx(this);
        SetControlId(member, id);
        connect(member, &CSliderCtrlEx::HScroll, this,
                [this, member](int code, int pos) { OnHScroll(code, pos, member); });
    };
    button(m_btnShare, IDC_SHARE);
    button(m_btnNext, IDC_NEXT);
    button(m_btnPlay, IDC_PLAY);
    button(m_btnPrev, IDC_PREV);
    button(m_btnStop, IDC_STOP);
    button(m_btnAudio, IDC_AUDIO);
    slider(m_sliderVolume, IDC_VOLUME);
    button(m_btnOpen, IDC_OPEN);
    slider(m_sliderProgress, IDC_PROGRESS);

    connect(m_btnOpen, &CButtonEx::clicked, this, &CSivoDlg::OnOpenFile);
    connect(m_btnShare, &CButtonEx::clicked, this, &CSivoDlg::OnShareFolder);
    connect(m_btnStop, &CButtonEx::clicked, this, &CSivoDlg::OnStop);
    connect(m_btnPlay, &CButtonEx::clicked, this, &CSivoDlg::OnPlayPause);
    connect(m_btnAudio, &CButtonEx::clicked, this, &CSivoDlg::OnAudio);
    // The previous and next buttons have no action.
    connect(&m_timer, &QTimer::timeout, this, [this] { OnTimer(PROGRESS_TIMER_ID); });
}

bool CSivoDlg::OnInitDialog() {
    CSkinDlg::OnInitDialog();
    m_nSeekTarget = -1;
    m_nVolume = static_cast<int>(m_mixer.GetVolume());
    m_nVolumeMax = static_cast<int>(m_mixer.GetMax());
    m_nVolumeMin = static_cast<int>(m_mixer.GetMin());
    SetTitleIcon(Skin("/main/icoTaskbar.ico"), Skin("/main/icoTaskbar.ico"), false);
    SetTitleText("   Corvan", 0x00FFFFFF);

    resize(INITIAL_WINDOW_SIZE, INITIAL_WINDOW_SIZE);
    hide();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    m_video = new CStaticVideo(this);
    SetControlId(m_video, IDC_VIDEO);
    m_video->setGeometry(0, 0, 100, 100);
    m_video->show();
    PlaceVideo();
    m_video->Refresh();
    connect(m_video, &CStaticVideo::DoubleClicked, this, &CSivoDlg::OnDblClkVideo);
    g_pVideoWnd = m_video;

    ThePlaySound().CreateThread();
    m_bAudioThreadStarted = true;

    // Neither channel is needed for the window to work; failures are only traced.
    if (m_udpSocket.Create(m_nUdpPort)) {
        m_udpSocket.SetPlayRequestHandler([this](const std::string& srcIp, const std::string& fileName) {
            m_entries->RemotePlay(srcIp.c_str(), fileName.c_str());
        });
        m_pUdpNotifier = new QSocketNotifier(m_udpSocket.Fd(), QSocketNotifier::Read, this);
        connect(m_pUdpNotifier, &QSocketNotifier::activated, this, &CSivoDlg::OnUdpReadable);
    } else {
        DebugTrace("UDP control socket not bound on port %u\n", m_nUdpPort);
    }
    if (m_copyData.Create(m_strCopyDataPath)) {
        m_pCopyDataNotifier = new QSocketNotifier(m_copyData.Fd(), QSocketNotifier::Read, this);
        connect(m_pCopyDataNotifier, &QSocketNotifier::activated, this, &CSivoDlg::OnCopyDataReadable);
    } else {
        DebugTrace("copy-data channel not created at %s\n", m_strCopyDataPath.c_str());
    }

    m_timer.start(PROGRESS_TIMER_PERIOD_MS);
    InitSkinControls();
    MaxOrNormal();
    return true;
}

namespace {

struct AnchorSpec {
    int edge;
    int refEdge;
    int offset;
    uint32_t refId;
};

// One skinned control: images (normal, hover, pressed; none for the progress
// slider), size and its two anchors, in registration order.
struct ControlSpec {
    uint32_t id;
    const char* images[3];
    bool hand;
    int height;
    int width;
    AnchorSpec anchors[2];
};

constexpr ControlSpec kControls[] = {
    {IDC_AUDIO, {"/main/button-audio-normal.png", "/main/button-audio-normal.png", "/main/button-audio-normal.png"},
     true, 22, 31, {{EDGE_BOTTOM, EDGE_BOTTOM, -15, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_LEFT, 18, ANCHOR_PARENT_ID}}},
    {IDC_VOLUME, {"/main/Slider_Forground.png", "/main/Slider_Background.png", "/main/Slider_Sliderbar.png"},
     false, 30, 200, {{EDGE_BOTTOM, EDGE_BOTTOM, -10, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_LEFT, 58, ANCHOR_PARENT_ID}}},
    {IDC_STOP, {"/main/button-stop-normal.png", "/main/button-stop-normal.png", "/main/button-stop-down.png"},
     true, 59, 148, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, ANCHOR_PARENT_ID}, {EDGE_RIGHT, EDGE_RIGHT, 190, IDC_VOLUME}}},
    {IDC_PREV, {"/main/button-pro-normal.png", "/main/button-pro-normal.png", "/main/button-pro-down.png"},
     true, 59, 110, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_RIGHT, 20, IDC_STOP}}},
    {IDC_PLAY, {"/main/button-play-normal.png", "/main/button-play-normal.png", "/main/button-play-normal.png"},
     true, 69, 72, {{EDGE_BOTTOM, EDGE_BOTTOM, 4, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_RIGHT, 20, IDC_PREV}}},
    {IDC_NEXT, {"/main/button-next-normal.png", "/main/button-next-normal.png", "/main/button-next-down.png"},
     true, 59, 110, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_RIGHT, 20, IDC_PLAY}}},
    {IDC_OPEN, {"/main/button-file-open.png", "/main/button-file-open.png", "/main/button-file-open.png"},
     false, 59, 148, {{EDGE_BOTTOM, EDGE_BOTTOM, 0, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_RIGHT, 20, IDC_NEXT}}},
    {IDC_SHARE, {"/main/button_share_normal.png", "/main/button_share_normal.png", "/main/button_share_down.png"},
     false, 32, 34, {{EDGE_BOTTOM, EDGE_BOTTOM, -20, ANCHOR_PARENT_ID}, {EDGE_LEFT, EDGE_RIGHT, 60, IDC_OPEN}}},
    {IDC_PROGRESS, {nullptr, nullptr, nullptr},
     false, 20, 200, {{EDGE_LEFT, EDGE_RIGHT, 10, IDC_SHARE}, {EDGE_BOTTOM, EDGE_BOTTOM, 20, IDC_SHARE}}},
};

} // namespace

void CSivoDlg::InitSkinControls() {
    for (const ControlSpec& spec : kControls) {
        QWidget* pWidget = nullptr;
        if (spec.id == IDC_VOLUME || spec.id == IDC_PROGRESS) {
            CSliderCtrlEx& slider = Slider(spec.id);
            if (spec.id == IDC_VOLUME) {
                slider.SetRange(m_nVolumeMin, m_nVolumeMax, true);
                slider.SetPos(m_nVolume);
            }
            if (spec.images[0])
                slider.SetImage(Skin(spec.images[0]), Skin(spec.images[1]), Skin(spec.images[2]));
            pWidget = &slider;
        } else {
            CButtonEx& button = Button(spec.id);
            button.SetImage(Skin(spec.images[0]), Skin(spec.images[1]), Skin(spec.images[2]), false, spec.hand);
            if (spec.id == IDC_SHARE)
                button.SetToolTip("set share video files");
            pWidget = &button;
        }
        m_layout.AddControl(spec.id, spec.height, spec.width, false, m_layoutParent.Item(pWidget));
        for (const AnchorSpec& anchor : spec.anchors)
            m_layout.AddAnchor(spec.id, anchor.edge, anchor.refEdge, anchor.offset, anchor.refId);
    }
    m_layout.Apply(true);
}

// Sizes.

QRect CSivoDlg::VideoArea() const {
    const int top = TopBand(), bottom = BottomBand(), allowance = FrameAllowance();
    return QRect(0, top - 4, width() - allowance + 4, height() - bottom - top + 8);
}

void CSivoDlg::PlaceVideo() {
    m_video->setGeometry(VideoArea());
    m_video->raise();
}

void CSivoDlg::OnSize(int type, int cx, int cy) {
    CSkinDlg::OnSize(type, cx, cy);
    if (m_video)
        PlaceVideo();
    m_layout.Apply(true);
}

void CSivoDlg::OnDblClkVideo() {
    MaxOrNormal();
}

void CSivoDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (event->pos().y() >= TopBand())
        return CSkinDlg::contextMenuEvent(event);
    QMenu menu(this);
    menu.addSeparator();
    const QAction* pNetwork = menu.addAction(QStringLiteral("&Network"));
    const QAction* pAbout = menu.addAction(QString::fromUtf8(IDS_ABOUTBOX).replace("(&A)", ""));
    const QAction* pChosen = menu.exec(event->globalPos());
    if (pChosen == pAbout)
        OnSysCommand(IDM_ABOUTBOX);
    else if (pChosen == pNetwork)
        m_pNetwork->Toggle();
}

void CSivoDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX)
        return;
    QDialog about(this);
    about.setWindowTitle(QString::fromUtf8("关于 sivo"));
    auto* pLayout = new QVBoxLayout(&about);
    auto* pIcon = new QLabel(&about);
    pIcon->setPixmap(windowIcon().pixmap(32, 32));
    pLayout->addWidget(pIcon);
    pLayout->addWidget(new QLabel(QString::fromUtf8("sivo 1.0 版"), &about));
    auto* pButtons = new QDialogButtonBox(&about);
    pButtons->addButton(QString::fromUtf8("确定"), QDialogButtonBox::AcceptRole);
    connect(pButtons, &QDialogButtonBox::accepted, &about, &QDialog::accept);
    pLayout->addWidget(pButtons);
    about.exec();
}

CButtonEx& CSivoDlg::Button(uint32_t id) {
    switch (id) {
    case IDC_OPEN: return *m_btnOpen;
    case IDC_SHARE: return *m_btnShare;
    case IDC_AUDIO: return *m_btnAudio;
    case IDC_STOP: return *m_btnStop;
    case IDC_PREV: return *m_btnPrev;
    case IDC_PLAY: return *m_btnPlay;
    default: return *m_btnNext;
    }
}

CSliderCtrlEx& CSivoDlg::Slider(uint32_t id) {
    return id == IDC_VOLUME ? *m_sliderVolume : *m_sliderProgress;
}

// Transport.

void CSivoDlg::OnOpenFile() {
    const QString path = QFileDialog::getOpenFileName(nullptr, QString(), QStringLiteral(" "),
                                                      QStringLiteral("All   Files(*.*) (*)"));
    if (path.isEmpty())
        return;
    m_entries->LocalPlay(QFileInfo(path).absoluteFilePath().toLocal8Bit().constData());
}

void CSivoDlg::OnPlayPause() {
    if (!m_bPlaying) {
        m_entries->Play();
        SetStateImage(*m_btnPlay, "/main/button-pause-down.png");
        m_bPlaying = true;
    } else {
        SetStateImage(*m_btnPlay, "/main/button-play-normal.png");
        m_entries->Pause();
        m_bPlaying = false;
    }
    m_layout.Apply(true);
}

void CSivoDlg::SetStateImage(CButtonEx& button, const char* image) {
    button.SetImage(Skin(image), Skin(image), Skin(image), false, true);
}

void CSivoDlg::OnStop() {
    m_entries->Stop();
}

void CSivoDlg::OnAudio() {
    SetStateImage(*m_btnAudio, m_bAudioDown ? "/main/button-audio-normal.png" : "/main/button-audio-down.png");
    m_bAudioDown = !m_bAudioDown;
    m_layout.Apply(true);
}

void CSivoDlg::OnHScroll(int, int pos, QWidget* pScrollBar) {
    if (pScrollBar == m_sliderVolume) {
        // The slider works in mixer units, so its ends are the mixer's bounds.
        m_mixer.SetVolume(static_cast<uint32_t>(m_sliderVolume->GetPos()));
    } else if (pScrollBar == m_sliderProgress) {
        const int duration = m_entries->GetDuration();
        if (duration > 0 && pos != 0)
            m_nSeekTarget = static_cast<int>(static_cast<uint32_t>(duration) * static_cast<uint32_t>(pos) / 100u);
    }
}

void CSivoDlg::OnTimer(int id) {
    if (id != PROGRESS_TIMER_ID)
        return;
    if (m_nSeekTarget > 0) {
        m_entries->Seek(m_nSeekTarget);
        m_nSeekTarget = -1;
        g_dwLastSeekTick = TickCount();
        return;
    }
    const int pos = m_entries->GetPosition();
    const int dur = m_entries->GetDuration();
    const uint32_t now = TickCount();
    const uint32_t sinceSeek = g_dwLastSeekTick > now ? g_dwLastSeekTick - now : now - g_dwLastSeekTick;
    if (pos < dur && dur > 1 && sinceSeek > SEEK_SETTLE_MS) {
        m_sliderProgress->SetPos(pos * 100 / dur);
        g_dwLastSeekTick = 0;
    }
}

// Other processes.

void CSivoDlg::OnCopyData(uint32_t code, const uint8_t* data, size_t size) {
    if (code != COPYDATA_REMOTE_PLAY)
        return;
    std::string address, name;
    if (!ReadRemotePlayBlock(data, size, address, name)) {
        DebugTrace("copy-data block of %zu bytes is too short\n", size);
        return;
    }
    DebugTrace("remote play %s %s\n", address.c_str(), name.c_str());
    m_entries->RemotePlay(address.c_str(), name.c_str());
}

void CSivoDlg::OnCopyDataReadable() {
    uint32_t code = 0;
    std::vector<uint8_t> data;
    while (m_copyData.Receive(code, data))
        OnCopyData(code, data.data(), data.size());
}

void CSivoDlg::OnUdpReadable() {
    m_udpSocket.OnReceive(0);
}

void CSivoDlg::OnShareFolder() {
    const QString dir = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Please choose share file directory, And now This software only can share media file!"));
    if (dir.isEmpty())
        return;
    ShareFolderChosen(QDir::toNativeSeparators(dir).toLocal8Bit().toStdString());
}

void CSivoDlg::ShareFolderChosen(const std::string& dir) {
    m_strShareDir = dir;
    const std::string text = SHARE_ANNOUNCE_PREFIX + m_strShareDir;
    if (m_udpSocket.Fd() >= 0)
        m_udpSocket.SendTo(text.data(), static_cast<int>(text.size()), m_nSharePeerPort, SHARE_ANNOUNCE_HOST);
}

// Shutdown.

void CSivoDlg::OnDestroy() {
    CSkinDlg::OnDestroy();
    m_timer.stop();
    // The notifiers go before the sockets they watch.
    delete m_pUdpNotifier;
    m_pUdpNotifier = nullptr;
    delete m_pCopyDataNotifier;
    m_pCopyDataNotifier = nullptr;
    m_entries->StopAll();
    if (m_bAudioThreadStarted) {
        ThePlaySound().StopThread();
        m_bAudioThreadStarted = false;
    }
    Sleep(SHUTDOWN_PAUSE_MS);
    FreeFrameBuffer();
}
