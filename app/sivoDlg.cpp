#include "app/sivoDlg.h"
#include "app/NetworkPanel.h"
#include "app/AtomicFile.h"

#include "app/Mpris.h"
#include "engine/MediaPlayer.h"
#include "engine/control/NetEntry.h"
#include "engine/control/PlayEntry.h"
#include "engine/control/Playable.h"
#include "output/PlaySound.h"
#include "output/VideoWindow.h"
#include "platform/NetAddress.h"
#include "platform/Sleep.h"
#include "platform/Trace.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QActionGroup>
#include <QMenu>
#include <QPushButton>
#include <QGridLayout>
#include <QVBoxLayout>
#include <QScreen>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/stat.h>

namespace {

// Mixer line and mode of the wave output.
constexpr uint32_t kMixerLineWaveOut = 0x1003;

QString ClockText(int seconds) {
    seconds = std::max(0, seconds);
    const int h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    return h > 0 ? QString::asprintf("%d:%02d:%02d", h, m, s) : QString::asprintf("%d:%02d", m, s);
}

// "clip_0-01-23.456.png" for clip.mp4 at 83.456 s: the medium's name
// without its extension and folders, made safe for a file name.
std::string ScreenshotName(const std::string& medium, double seconds) {
    std::string stem = medium.substr(medium.rfind('/') == std::string::npos ? 0 : medium.rfind('/') + 1);
    if (const size_t dot = stem.rfind('.'); dot != std::string::npos && dot > 0)
        stem.erase(dot);
    for (char& c : stem)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '_';
    if (stem.empty() || stem[0] == '.')
        stem.insert(0, "sivo");
    const long long ms = std::llround(std::max(0.0, std::isfinite(seconds) ? seconds : 0.0) * 1000);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "_%lld-%02lld-%02lld.%03lld", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                  ms % 1000);
    return stem.substr(0, 200) + stamp;
}

} // namespace

// SivoEntries: the process-wide entries.

void SivoEntries::LocalPlay(const char* path) { ::LocalPlay(path); }
void SivoEntries::Play() { ::Play(); }
void SivoEntries::Pause() { ::Pause(); }
void SivoEntries::Stop() { ::Stop(); }
void SivoEntries::SeekTo(double seconds) { ::SeekTo(seconds); }
void SivoEntries::SeekBy(double seconds) { ::SeekBy(seconds); }
int SivoEntries::GetPosition() { return ::GetPosition(); }
double SivoEntries::GetPositionSeconds() { return ::GetPositionSeconds(); }
int SivoEntries::GetDuration() { return ::GetDuration(); }
void SivoEntries::RemotePlay(const char* address, const char* name) { ::RemotePlay(address, name); }
void SivoEntries::StopAll() { ::StopAll(); }
bool SivoEntries::IsPaused() { return ThePlayer().IsPaused(); }
std::string SivoEntries::CheckPlayable(const std::string& path) {
    // A pipe or a device would hold the window in the open, or read forever.
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
        return path + " is not a regular file";
    return ::CheckPlayable(path);
}
std::vector<SivoEntries::AudioStream> SivoEntries::AudioStreams() {
    std::vector<AudioStream> streams;
    for (const auto& st : ThePlayer().AudioStreams())
        streams.push_back({st.index, st.label, st.selected});
    return streams;
}
void SivoEntries::SelectAudioStream(int streamIndex) { ThePlayer().SelectAudioStream(streamIndex); }
std::vector<SivoEntries::SubtitleChoice> SivoEntries::SubtitleChoices() {
    std::vector<SubtitleChoice> choices;
    for (const auto& choice : ThePlayer().SubtitleChoices())
        choices.push_back({choice.label, choice.preferred, choice.path, choice.stream});
    return choices;
}
void SivoEntries::SelectSubtitle(int choice) { ThePlayer().SelectSubtitle(choice); }
int SivoEntries::SelectedSubtitle() { return ThePlayer().SelectedSubtitle(); }
void SivoEntries::AddSubtitleFile(const std::string& path) { ThePlayer().AddSubtitleFile(path); }
void SivoEntries::SetSubtitleDelay(double seconds) { ThePlayer().SetSubtitleDelay(seconds); }
double SivoEntries::SubtitleDelay() { return ThePlayer().SubtitleDelay(); }
void SivoEntries::SetSubtitleScale(double scale) { ThePlayer().SetSubtitleScale(scale); }
double SivoEntries::SubtitleScale() { return ThePlayer().SubtitleScale(); }
std::vector<SivoEntries::Chapter> SivoEntries::Chapters() {
    std::vector<Chapter> chapters;
    for (const auto& chapter : ThePlayer().Chapters())
        chapters.push_back({chapter.start, chapter.title});
    return chapters;
}
void SivoEntries::SetSpeed(double speed) { ThePlayer().SetSpeed(speed); }
double SivoEntries::Speed() { return ThePlayer().Speed(); }

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
                                      PlayRemote(address, name);
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
    connect(m_btnPrev, &CButtonEx::clicked, this, [this] { GoPrevious(); });
    connect(m_btnNext, &CButtonEx::clicked, this, [this] { GoNext(); });
    connect(&m_timer, &QTimer::timeout, this, [this] { OnTimer(PROGRESS_TIMER_ID); });
}

bool CSivoDlg::OnInitDialog() {
    CSkinDlg::OnInitDialog();
    m_dSeekTarget = -1;
    m_nVolume = static_cast<int>(m_mixer.GetVolume());
    m_nVolumeMax = static_cast<int>(m_mixer.GetMax());
    m_nVolumeMin = static_cast<int>(m_mixer.GetMin());
    // Without a mixer the slider drives the player's own gain, in percent.
    m_bMixerReady = m_mixer.IsReady() && m_nVolumeMax > m_nVolumeMin;
    if (!m_bMixerReady) {
        m_nVolumeMin = 0;
        m_nVolumeMax = 100;
        m_nVolume = static_cast<int>(ThePlaySound().GetGain() * 100.0f + 0.5f);
    }
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
    m_video->setMouseTracking(true);
    SetVideoWindow(m_video);
    m_pReason = new QLabel(m_video);
    m_pReason->setStyleSheet(QStringLiteral("QLabel { color: white; background: rgba(0, 0, 0, 160); padding: 4px 8px; }"));
    m_pReason->hide();
    m_pNote = new QLabel(m_video);
    m_pNote->setTextFormat(Qt::PlainText);
    m_pNote->setStyleSheet(QStringLiteral("QLabel { color: white; background: rgba(0, 0, 0, 160); padding: 4px 8px; }"));
    m_pNote->hide();
    m_noteTimer.setSingleShot(true);
    connect(&m_noteTimer, &QTimer::timeout, m_pNote, &QLabel::hide);

    // A broken list allows nobody it cannot read; the person is told.
    if (!m_allowed.Load()) {
        DebugTrace("%s\n", m_allowed.Problem().c_str());
        ShowNote(QString::fromLocal8Bit(m_allowed.Problem().c_str()), 3 * NOTE_MS);
    }

    if (!m_resume.Load())
        ShowNote(QString::fromLocal8Bit(m_resume.Problem().c_str()), 3 * NOTE_MS);

    ThePlaySound().CreateThread();
    m_bAudioThreadStarted = true;

    // Neither channel is needed for the window to work; failures are only traced.
    if (m_udpSocket.Create(m_nUdpPort)) {
        m_udpSocket.SetPlayRequestHandler([this](const std::string& srcIp, const std::string& fileName) {
            OnRemotePlayRequest(m_strUdpPeer, srcIp, fileName);
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

    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.start(PROGRESS_TIMER_PERIOD_MS);
    m_watchTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_watchTimer, &QTimer::timeout, this, &CSivoDlg::OnWatch);
    m_watchTimer.start(WATCH_PERIOD_MS);
    m_hideControlsTimer.setSingleShot(true);
    m_hideControlsTimer.setInterval(CONTROLS_HIDE_MS);
    connect(&m_hideControlsTimer, &QTimer::timeout, this, [this] { ShowControls(false); });
    setAcceptDrops(true);
    qApp->installEventFilter(this);
    m_pMpris = CMpris::Start(this);
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
    ApplyLayout();
}

// Sizes.

QRect CSivoDlg::VideoArea() const {
    const int top = TopBand(), bottom = BottomBand(), allowance = FrameAllowance();
    return QRect(0, top - 4, width() - allowance + 4, height() - bottom - top + 8);
}

void CSivoDlg::PlaceVideo() {
    m_video->setGeometry(m_bFullScreen && !m_bControlsShown ? rect() : VideoArea());
    m_video->raise();
    PlaceOverlays();
}

void CSivoDlg::PlaceOverlays() {
    if (m_pReason && m_pReason->isVisible())
        ShowReason(m_strReason);
    if (m_pNote && m_pNote->isVisible())
        ShowNote(m_pNote->text(), m_noteTimer.remainingTime());
    // Prompts stack at the top of the picture, over the video control.
    const QRect area = m_video ? m_video->geometry() : QRect();
    const int width = std::min(560, std::max(0, area.width() - 16));
    int top = area.top() + 8;
    for (ConsentPrompt* pPrompt : ConsentPrompts()) {
        const int height = pPrompt->heightForWidth(width) > 0 ? pPrompt->heightForWidth(width) : pPrompt->sizeHint().height();
        pPrompt->setGeometry(area.left() + (area.width() - width) / 2, top, width, height);
        pPrompt->raise();
        top += height + 4;
    }
}

void CSivoDlg::OnSize(int type, int cx, int cy) {
    CSkinDlg::OnSize(type, cx, cy);
    if (m_video)
        PlaceVideo();
    ApplyLayout();
}

void CSivoDlg::ApplyLayout() {
    m_layout.Apply(true);
    FitControls();
    if (!m_bControlsShown)
        for (QWidget* pControl : Controls())
            pControl->hide();
}

std::vector<QWidget*> CSivoDlg::Controls() const {
    return {m_btnAudio, m_sliderVolume, m_btnStop, m_btnPrev, m_btnPlay, m_btnNext, m_btnOpen, m_btnShare,
            m_sliderProgress};
}

void CSivoDlg::FitControls() {
    if (!m_sliderProgress || IsMaxed())
        return;
    const QRect chain = m_sliderProgress->geometry();
    const int need = chain.right() + 1 + FrameAllowance() + 4;
    if (need <= width() || chain.isEmpty())
        return;
    const double factor = static_cast<double>(width()) / need;
    for (QWidget* pWidget : Controls()) {
        const QRect r = pWidget->geometry();
        const int left = static_cast<int>(r.left() * factor);
        const int right = static_cast<int>((r.right() + 1) * factor);
        pWidget->setGeometry(left, r.top(), std::max(1, right - left), r.height());
    }
}

void CSivoDlg::OnDblClkVideo() {
    MaxOrNormal();
}

void CSivoDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (event->pos().y() >= TopBand())
        return CSkinDlg::contextMenuEvent(event);
    ShowCaptionMenu(event->globalPos());
}

void CSivoDlg::ShowCaptionMenu(const QPoint& globalPos) {
    QMenu menu(this);
    // The two buttons at the far end of the band, for a maximised window on a
    // screen too narrow to show them.
    const QAction* pOpen = menu.addAction(QStringLiteral("&Open file..."));
    const QAction* pShare = menu.addAction(QStringLiteral("&Share folder..."));
    menu.addSeparator();
    const QAction* pNetwork = menu.addAction(QStringLiteral("&Network"));
    const QAction* pSettings = menu.addAction(QStringLiteral("Se&ttings..."));
    RebuildTrackMenus();
    menu.addMenu(m_pAudioMenu);
    menu.addMenu(m_pSubtitleMenu);
    menu.addMenu(m_pChapterMenu);
    menu.addSeparator();
    const QAction* pAbout = menu.addAction(QString::fromUtf8(IDS_ABOUTBOX).replace("(&A)", ""));
    const QAction* pChosen = menu.exec(globalPos);
    if (pChosen == pAbout)
        OnSysCommand(IDM_ABOUTBOX);
    else if (pChosen == pNetwork)
        m_pNetwork->Toggle();
    else if (pChosen == pSettings)
        OnSettings();
    else if (pChosen == pOpen)
        OnOpenFile();
    else if (pChosen == pShare)
        OnShareFolder();
}

void CSivoDlg::OnSysCommand(int id) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX)
        return;
    QDialog about(this);
    about.setWindowTitle(QString::fromUtf8("关于 sivo"));
    // A face that has the box's Chinese texts; the default one may not.
    QFont font = about.font();
    font.setFamilies({QStringLiteral("WenQuanYi Micro Hei"), font.family()});
    about.setFont(font);
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

void CSivoDlg::OnSettings() {
    QDialog settings(this);
    settings.setWindowTitle(QStringLiteral("Settings"));
    auto* pLayout = new QVBoxLayout(&settings);
    pLayout->addWidget(new QLabel(QStringLiteral("Devices allowed to play in this window:"), &settings));
    auto* pList = new QListWidget(&settings);
    pList->setObjectName(QStringLiteral("AllowedDevices"));
    pLayout->addWidget(pList);
    auto* pRemove = new QPushButton(QStringLiteral("&Remove"), &settings);
    pRemove->setObjectName(QStringLiteral("RemoveDevice"));
    const auto fill = [this, pList, pRemove] {
        pList->clear();
        for (const AllowedPeers::Device& device : m_allowed.Devices()) {
            QString text = PlainShown(device.address);
            if (!device.name.empty() && device.name != device.address)
                text += QStringLiteral("  ") + PlainShown(device.name);
            auto* pItem = new QListWidgetItem(text, pList);
            pItem->setData(Qt::UserRole, QString::fromStdString(device.address));
        }
        pRemove->setEnabled(pList->count() > 0);
        if (pList->count() > 0)
            pList->setCurrentRow(0);
    };
    fill();
    connect(pRemove, &QPushButton::clicked, &settings, [this, pList, fill] {
        if (const QListWidgetItem* pItem = pList->currentItem()) {
            const std::string address = pItem->data(Qt::UserRole).toString().toStdString();
            if (!m_allowed.Remove(address) && !m_allowed.Allows(address))
                ShowNote(QString::fromLocal8Bit(m_allowed.Problem().c_str()));
            fill();
        }
    });
    auto* pButtons = new QDialogButtonBox(QDialogButtonBox::Close, &settings);
    pButtons->addButton(pRemove, QDialogButtonBox::ActionRole);
    connect(pButtons, &QDialogButtonBox::rejected, &settings, &QDialog::reject);
    pLayout->addWidget(pButtons);
    settings.exec();
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
    OpenMedia(QFileInfo(path).absoluteFilePath().toLocal8Bit().toStdString());
}

void CSivoDlg::OnPlayPause() {
    TogglePause();
}

void CSivoDlg::SetStateImage(CButtonEx& button, const char* image) {
    button.SetImage(Skin(image), Skin(image), Skin(image), false, true);
}

void CSivoDlg::OnStop() {
    RememberPosition();
    m_strMediaKey.clear();
    ClearLoop();
    m_entries->Stop();
    m_bStopped = true;
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::OnAudio() {
    SetStateImage(*m_btnAudio, m_bAudioDown ? "/main/button-audio-normal.png" : "/main/button-audio-down.png");
    m_bAudioDown = !m_bAudioDown;
    ApplyLayout();
}

void CSivoDlg::OnHScroll(int code, int pos, QWidget* pScrollBar) {
    if (pScrollBar == m_sliderVolume) {
        // The slider works in mixer units, so its ends are the mixer's bounds;
        // without a mixer it is the player's gain in percent.
        if (m_bMixerReady)
            m_mixer.SetVolume(static_cast<uint32_t>(m_sliderVolume->GetPos()));
        ApplyGain();
        if (m_pMpris)
            m_pMpris->Publish();
    } else if (pScrollBar == m_sliderProgress) {
        // Only the thumb seeks (to the start too); clicks in the channel,
        // keys and the end of a drag do not.
        if (code != SB_THUMBTRACK && code != SB_THUMBPOSITION)
            return;
        const int duration = m_entries->GetDuration();
        if (duration > 0 && pos >= 0)
            m_dSeekTarget = duration * std::min(pos, 100) / 100.0;
    }
}

void CSivoDlg::OnTimer(int id) {
    if (id != PROGRESS_TIMER_ID)
        return;
    if (m_dSeekTarget >= 0) {
        m_entries->SeekTo(m_dSeekTarget);
        m_dSeekTarget = -1;
        m_seekClock.start();
        return;
    }
    const int pos = m_entries->GetPosition();
    const int dur = m_entries->GetDuration();
    if (pos < dur && dur > 1 && !SeekSettling())
        m_sliderProgress->SetPos(pos * 100 / dur);
    const QString time = TimeText();
    m_sliderProgress->setToolTip(time);
    update(TimeTextRect());
    if (m_pMpris)
        m_pMpris->Publish();
}

// Other processes.

void CSivoDlg::OnCopyData(uint32_t code, const uint8_t* data, size_t size) {
    if (code == COPYDATA_OPEN_FILE) {
        // Another `sivo FILE`: this window plays it and comes to the front.
        const std::string path(reinterpret_cast<const char*>(data), data ? size : 0);
        DebugTrace("open request %s\n", path.c_str());
        if (!path.empty())
            OpenMedia(path);
        raise();
        activateWindow();
        return;
    }
    if (code != COPYDATA_REMOTE_PLAY)
        return;
    std::string address, name;
    if (!ReadRemotePlayBlock(data, size, address, name)) {
        DebugTrace("copy-data block of %zu bytes is too short\n", size);
        return;
    }
    DebugTrace("remote play %s %s\n", address.c_str(), name.c_str());
    PlayRemote(address, name);
}

void CSivoDlg::PlayRemote(const std::string& server, const std::string& name) {
    RememberPosition();
    m_strMediaKey.clear();
    ClearLoop();
    m_playlist.Clear();
    ++m_nListGeneration;
    m_bListing = false;
    m_entries->RemotePlay(server.c_str(), name.c_str());
    SetMediaName(name, server + "/" + name);
    KeyRemoteMedium(server, name);
}

void CSivoDlg::OnRemotePlayRequest(const std::string& peer, const std::string& server, const std::string& fileName) {
    // The socket knows who sent each datagram; without one the sender is nobody allowed.
    const std::string sender = peer.empty() ? std::string("unknown device") : peer;
    if (IsThisMachine(sender) || m_allowed.Allows(sender))
        return PlayRemote(server, fileName);
    if (const auto it = m_prompts.find(sender); it != m_prompts.end()) {
        // One question per device: the latest request replaces the one asked.
        it->second->Ask(server, fileName);
        PlaceOverlays();
        return;
    }
    if (m_prompts.size() >= MAX_CONSENT_PROMPTS) {
        DebugTrace("remote play from %s dropped: %zu devices wait for an answer\n", sender.c_str(), m_prompts.size());
        return;
    }
    DebugTrace("remote play from %s: asking\n", sender.c_str());
    auto* pPrompt = new ConsentPrompt(this, sender, m_nConsentWaitMs);
    pPrompt->Ask(server, fileName);
    connect(pPrompt, &ConsentPrompt::Answered, this, &CSivoDlg::ConsentAnswered);
    m_prompts.emplace(sender, pPrompt);
    pPrompt->show();
    PlaceOverlays();
}

void CSivoDlg::ConsentAnswered(ConsentPrompt* pPrompt, ConsentPrompt::Answer answer) {
    m_prompts.erase(pPrompt->Peer());
    const std::string& peer = pPrompt->Peer();
    switch (answer) {
    case ConsentPrompt::Answer::AlwaysAllow:
        if (!m_allowed.Add(peer, peer))
            ShowNote(QString::fromLocal8Bit(m_allowed.Problem().c_str()));
        [[fallthrough]];
    case ConsentPrompt::Answer::AllowOnce:
        DebugTrace("remote play from %s allowed\n", peer.c_str());
        PlayRemote(pPrompt->Server(), pPrompt->FileName());
        break;
    case ConsentPrompt::Answer::Ignore:
        DebugTrace("remote play from %s ignored\n", peer.c_str());
        break;
    case ConsentPrompt::Answer::Unanswered:
        DebugTrace("remote play from %s not answered: dropped\n", peer.c_str());
        break;
    }
    PlaceOverlays();
}

void CSivoDlg::AnswerTopPrompt(ConsentPrompt::Answer answer) {
    if (!m_prompts.empty())
        m_prompts.begin()->second->Reply(answer);
}

std::vector<ConsentPrompt*> CSivoDlg::ConsentPrompts() const {
    std::vector<ConsentPrompt*> prompts;
    for (const auto& entry : m_prompts)
        prompts.push_back(entry.second);
    return prompts;
}

void CSivoDlg::OnCopyDataReadable() {
    uint32_t code = 0;
    std::vector<uint8_t> data;
    while (m_copyData.Receive(code, data))
        OnCopyData(code, data.data(), data.size());
}

void CSivoDlg::OnUdpReadable() {
    // The sender, read ahead of the socket's own receive, which keeps it to itself.
    sockaddr_storage from {};
    socklen_t length = sizeof from;
    char first = 0;
    m_strUdpPeer.clear();
    if (::recvfrom(m_udpSocket.Fd(), &first, 1, MSG_PEEK | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length) >= 0)
        if (const std::optional<NetAddress> sender = NetAddress::FromSockaddr(reinterpret_cast<const sockaddr*>(&from)))
            m_strUdpPeer = sender->ToString();
    m_udpSocket.OnReceive(0);
}

void CSivoDlg::OnShareFolder() {
    // The prompt is long: it goes inside the dialog, where it has room, not
    // into the caption.
    QFileDialog dialog(this, QStringLiteral("Share folder"));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* pPrompt =
        new QLabel(QStringLiteral("Please choose share file directory, And now This software only can share media file!"));
    pPrompt->setWordWrap(true);
    if (auto* pGrid = qobject_cast<QGridLayout*>(dialog.layout())) {
        pGrid->addWidget(pPrompt, pGrid->rowCount(), 0, 1, pGrid->columnCount());
    } else {
        delete pPrompt;
        dialog.setLabelText(QFileDialog::LookIn, QStringLiteral("Please choose share file directory:"));
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    const QString dir = dialog.selectedFiles().front();
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
    m_hideControlsTimer.stop();
    m_watchTimer.stop();
    qApp->removeEventFilter(this);
    RememberPosition();
    JoinWorkers();
    delete m_pMpris;
    m_pMpris = nullptr;
    // Nothing asked of the person plays once the window goes.
    for (const auto& entry : m_prompts)
        delete entry.second;
    m_prompts.clear();
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
    ReleaseVideoWindow(m_video);
}

// What keys, drops, other processes and the media interface ask for.

const std::vector<CSivoDlg::KeyBinding>& CSivoDlg::KeyBindings() {
    static const std::vector<KeyBinding> bindings = {
        {Qt::Key_Space, Qt::NoModifier, [](CSivoDlg& d) { d.TogglePause(); }},
        {Qt::Key_Left, Qt::NoModifier, [](CSivoDlg& d) { d.SeekBy(-SEEK_SHORT_S); }},
        {Qt::Key_Right, Qt::NoModifier, [](CSivoDlg& d) { d.SeekBy(SEEK_SHORT_S); }},
        {Qt::Key_Down, Qt::NoModifier, [](CSivoDlg& d) { d.SeekBy(-SEEK_LONG_S); }},
        {Qt::Key_Up, Qt::NoModifier, [](CSivoDlg& d) { d.SeekBy(SEEK_LONG_S); }},
        {Qt::Key_F, Qt::NoModifier, [](CSivoDlg& d) { d.SetFullScreen(!d.IsFullScreen()); }},
        // Escape and Enter keep the dialog's Cancel and OK, once out of fullscreen.
        {Qt::Key_Escape, Qt::NoModifier, [](CSivoDlg& d) { d.IsFullScreen() ? d.SetFullScreen(false) : d.reject(); }},
        {Qt::Key_Return, Qt::NoModifier, [](CSivoDlg& d) { d.accept(); }},
        {Qt::Key_Enter, Qt::NoModifier, [](CSivoDlg& d) { d.accept(); }},
        {Qt::Key_M, Qt::NoModifier, [](CSivoDlg& d) { d.ToggleMute(); }},
        {Qt::Key_9, Qt::NoModifier, [](CSivoDlg& d) { d.StepVolume(-1); }},
        {Qt::Key_0, Qt::NoModifier, [](CSivoDlg& d) { d.StepVolume(1); }},
        {Qt::Key_O, Qt::NoModifier, [](CSivoDlg& d) { d.OnOpenFile(); }},
        {Qt::Key_O, Qt::ControlModifier, [](CSivoDlg& d) { d.OnOpenFile(); }},
        {Qt::Key_Q, Qt::NoModifier, [](CSivoDlg& d) { d.Quit(); }},
        {Qt::Key_Q, Qt::ControlModifier, [](CSivoDlg& d) { d.Quit(); }},
        {Qt::Key_Space, Qt::AltModifier,
         [](CSivoDlg& d) { d.ShowCaptionMenu(d.mapToGlobal(QPoint(0, d.TopBand()))); }},
        {Qt::Key_Home, Qt::NoModifier, [](CSivoDlg& d) { d.SeekTo(0); }},
        {Qt::Key_Less, Qt::NoModifier, [](CSivoDlg& d) { d.GoPrevious(); }},
        {Qt::Key_Less, Qt::ShiftModifier, [](CSivoDlg& d) { d.GoPrevious(); }},
        {Qt::Key_Greater, Qt::NoModifier, [](CSivoDlg& d) { d.GoNext(); }},
        {Qt::Key_Greater, Qt::ShiftModifier, [](CSivoDlg& d) { d.GoNext(); }},
        {Qt::Key_S, Qt::NoModifier, [](CSivoDlg& d) { d.TakeScreenshot(); }},
        {Qt::Key_L, Qt::NoModifier, [](CSivoDlg& d) { d.ToggleLoop(); }},
        {Qt::Key_A, Qt::AltModifier, [](CSivoDlg& d) { d.AnswerTopPrompt(ConsentPrompt::Answer::AllowOnce); }},
        {Qt::Key_D, Qt::AltModifier, [](CSivoDlg& d) { d.AnswerTopPrompt(ConsentPrompt::Answer::AlwaysAllow); }},
        {Qt::Key_I, Qt::AltModifier, [](CSivoDlg& d) { d.AnswerTopPrompt(ConsentPrompt::Answer::Ignore); }},
        // As mpv has them; # comes with Shift on most layouts, F and G always do.
        {Qt::Key_NumberSign, Qt::NoModifier, [](CSivoDlg& d) { d.CycleAudio(); }},
        {Qt::Key_NumberSign, Qt::ShiftModifier, [](CSivoDlg& d) { d.CycleAudio(); }},
        {Qt::Key_J, Qt::NoModifier, [](CSivoDlg& d) { d.CycleSubtitle(); }},
        {Qt::Key_Z, Qt::NoModifier, [](CSivoDlg& d) { d.StepSubtitleDelay(-SUBTITLE_DELAY_STEP_S); }},
        {Qt::Key_X, Qt::NoModifier, [](CSivoDlg& d) { d.StepSubtitleDelay(SUBTITLE_DELAY_STEP_S); }},
        {Qt::Key_F, Qt::ShiftModifier, [](CSivoDlg& d) { d.StepSubtitleScale(-SUBTITLE_SCALE_STEP); }},
        {Qt::Key_G, Qt::ShiftModifier, [](CSivoDlg& d) { d.StepSubtitleScale(SUBTITLE_SCALE_STEP); }},
        {Qt::Key_PageUp, Qt::NoModifier, [](CSivoDlg& d) { d.StepChapter(false); }},
        {Qt::Key_PageDown, Qt::NoModifier, [](CSivoDlg& d) { d.StepChapter(true); }},
        {Qt::Key_BracketLeft, Qt::NoModifier, [](CSivoDlg& d) { d.StepSpeed(false); }},
        {Qt::Key_BracketRight, Qt::NoModifier, [](CSivoDlg& d) { d.StepSpeed(true); }},
        {Qt::Key_Backspace, Qt::NoModifier, [](CSivoDlg& d) { d.SetRate(1.0); }},
    };
    return bindings;
}

bool CSivoDlg::HandleKey(int key, Qt::KeyboardModifiers modifiers) {
    modifiers &= Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    for (const KeyBinding& binding : KeyBindings())
        if (binding.key == key && binding.modifiers == modifiers) {
            binding.action(*this);
            return true;
        }
    return false;
}

bool CSivoDlg::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::KeyPress || type == QEvent::MouseMove) && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        if (type == QEvent::KeyPress) {
            // Ahead of the focused control, so a button or slider with the
            // focus never takes the player's keys; the Network panel's list
            // keeps its own (arrows, Enter).
            auto* pTarget = static_cast<QWidget*>(watched);
            const auto* pKey = static_cast<QKeyEvent*>(event);
            const bool inPanel = m_pNetwork && (pTarget == m_pNetwork || m_pNetwork->isAncestorOf(pTarget));
            if (!inPanel && HandleKey(pKey->key(), pKey->modifiers()))
                return true;
        } else if (m_bFullScreen) {
            if (!m_bControlsShown)
                ShowControls(true);
            m_hideControlsTimer.start();
        }
    }
    return CSkinDlg::eventFilter(watched, event);
}

bool CSivoDlg::OpenMedia(const std::string& path) {
    return PlayLocal(path, true);
}

bool CSivoDlg::PlayLocal(const std::string& path, bool listFolder) {
    const std::string reason = m_entries->CheckPlayable(path);
    if (!reason.empty()) {
        DebugTrace("cannot play: %s\n", reason.c_str());
        ShowReason(QString::fromLocal8Bit(reason.c_str()));
        return false;
    }
    RememberPosition();
    StopKeying();
    ClearLoop();
    ShowReason(QString());
    m_entries->LocalPlay(path.c_str());
    SetMediaName(QFileInfo(QString::fromLocal8Bit(path.c_str())).fileName().toLocal8Bit().toStdString(), path);
    m_strMediaKey = ContentKey(path);
    if (listFolder) {
        m_playlist.Set({path}, path, true);
        ListFolder(path);
    }
    ResumeIfRemembered();
    RebuildTrackMenus();
    if (m_pMpris)
        m_pMpris->Publish();
    return true;
}

bool CSivoDlg::OpenFiles(const std::vector<std::string>& paths) {
    if (paths.empty())
        return false;
    if (paths.size() == 1)
        return OpenMedia(paths.front());
    ++m_nListGeneration;
    m_bListing = false;
    const Playlist before = m_playlist;
    m_playlist.Set(paths, paths.front(), false);
    if (PlayLocal(paths.front(), false) || Step(true))
        return true;
    m_playlist = before;
    return false;
}

bool CSivoDlg::GoNext() {
    return Step(true);
}

bool CSivoDlg::GoPrevious() {
    return Step(false);
}

bool CSivoDlg::Step(bool forward) {
    const Playlist before = m_playlist;
    // Files that cannot be played (gone, renamed, not media after all) are passed over.
    for (std::string path = forward ? m_playlist.Next() : m_playlist.Previous(); !path.empty();
         path = forward ? m_playlist.Next() : m_playlist.Previous())
        if (PlayLocal(path, false))
            return true;
    m_playlist = before;
    return false;
}

void CSivoDlg::ListFolder(const std::string& current) {
    if (m_listThread.joinable())
        m_listThread.join();
    const unsigned generation = ++m_nListGeneration;
    m_bListing = true;
    const size_t slash = current.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : current.substr(0, slash);
    m_listThread = std::thread([this, generation, dir, current] {
        std::vector<std::string> files = ListFolderMedia(dir);
        QMetaObject::invokeMethod(
            this,
            [this, generation, current, files = std::move(files)]() mutable {
                if (generation != m_nListGeneration)
                    return;
                // Posting the list is the worker's last step: joined here, it
                // hands the list over in a way the race checker sees too.
                if (m_listThread.joinable())
                    m_listThread.join();
                m_bListing = false;
                m_playlist.Set(std::move(files), current, true);
                if (m_pMpris)
                    m_pMpris->Publish();
            },
            Qt::QueuedConnection);
    });
}

void CSivoDlg::JoinWorkers() {
    ++m_nListGeneration;
    if (m_listThread.joinable())
        m_listThread.join();
    StopKeying();
    if (m_shotThread.joinable())
        m_shotThread.join();
}

void CSivoDlg::RememberPosition() {
    if (m_strMediaKey.empty() || m_bStopped)
        return;
    const int duration = m_entries->GetDuration();
    const double position = m_entries->GetPositionSeconds();
    if (duration <= 0 || !std::isfinite(position))
        return;
    if (position < RESUME_FROM_S || position > duration * (1.0 - RESUME_BEFORE_END))
        m_resume.Forget(m_strMediaKey);
    else if (m_resume.Remember(m_strMediaKey, position, ChosenTracks()))
        DebugTrace("resume position %.3f remembered\n", position);
}

void CSivoDlg::ResumeIfRemembered() {
    if (m_strMediaKey.empty())
        return;
    const double position = m_resume.Position(m_strMediaKey).value_or(-1);
    const int duration = m_entries->GetDuration();
    if (position >= 0)
        ChooseTracks(m_resume.Tracks(m_strMediaKey));
    if (position < 0 || duration <= 0 || position >= duration)
        return;
    DebugTrace("resuming at %.3f\n", position);
    m_entries->SeekTo(position);
    SeekMade(position);
    ShowNote(QStringLiteral("Resumed at %1. Home plays from the start.").arg(ClockText(static_cast<int>(position))));
}

namespace {
std::string FileNameOf(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}
} // namespace

ResumeTracks CSivoDlg::ChosenTracks() {
    ResumeTracks tracks;
    for (const SivoEntries::AudioStream& st : m_entries->AudioStreams())
        if (st.selected)
            tracks.audio = st.index;
    // A medium without subtitles says nothing of them: a choice made where
    // there were some stays.
    const std::vector<SivoEntries::SubtitleChoice> choices = m_entries->SubtitleChoices();
    const int selected = m_entries->SelectedSubtitle();
    if (choices.empty())
        return tracks;
    if (selected < 0 || selected >= static_cast<int>(choices.size())) {
        tracks.subtitle = ResumeTracks::Subtitle::Off;
    } else if (choices[selected].stream >= 0) {
        tracks.subtitle = ResumeTracks::Subtitle::Stream;
        tracks.subtitleStream = choices[selected].stream;
    } else {
        tracks.subtitle = ResumeTracks::Subtitle::File;
        tracks.subtitleFile = FileNameOf(choices[selected].path);
    }
    return tracks;
}

void CSivoDlg::ChooseTracks(const ResumeTracks& tracks) {
    for (const SivoEntries::AudioStream& st : m_entries->AudioStreams())
        if (st.index == tracks.audio && !st.selected) {
            DebugTrace("resuming with audio stream %d\n", st.index);
            m_entries->SelectAudioStream(st.index);
        }
    if (tracks.subtitle == ResumeTracks::Subtitle::Unknown)
        return;
    // Files beside the medium by name, the medium's own streams by index:
    // the list's order may have changed since.
    const std::vector<SivoEntries::SubtitleChoice> choices = m_entries->SubtitleChoices();
    const auto chosen = std::find_if(choices.begin(), choices.end(), [&](const SivoEntries::SubtitleChoice& c) {
        return tracks.subtitle == ResumeTracks::Subtitle::Stream
                   ? c.stream >= 0 && c.stream == tracks.subtitleStream
                   : c.stream < 0 && FileNameOf(c.path) == tracks.subtitleFile;
    });
    int choice = -1;
    if (tracks.subtitle != ResumeTracks::Subtitle::Off) {
        if (chosen == choices.end())
            return;
        choice = static_cast<int>(chosen - choices.begin());
    }
    if (choice != m_entries->SelectedSubtitle()) {
        DebugTrace("resuming with subtitle choice %d\n", choice);
        m_entries->SelectSubtitle(choice);
    }
}

void CSivoDlg::KeyRemoteMedium(const std::string& server, const std::string& name) {
    StopKeying();
    const unsigned generation = m_nKeyGeneration;
    m_keyThread = std::thread([this, generation, server, name, port = m_nPeerHttpPort] {
        std::string key = RemoteContentKey(server, port, name, REMOTE_KEY_TIMEOUT_MS, &m_bKeyCancel);
        QMetaObject::invokeMethod(
            this,
            [this, generation, key = std::move(key)] {
                if (generation != m_nKeyGeneration)
                    return;
                if (m_keyThread.joinable())
                    m_keyThread.join();
                DebugTrace("remote medium key: %s\n", key.empty() ? "none (no HTTP file server)" : key.c_str());
                if (key.empty() || m_bStopped)
                    return;
                m_strMediaKey = key;
                ResumeWhenKnown(generation, REMOTE_RESUME_TRIES);
            },
            Qt::QueuedConnection);
    });
}

void CSivoDlg::ResumeWhenKnown(unsigned generation, int tries) {
    if (generation != m_nKeyGeneration || m_bStopped)
        return;
    // A remote medium's length comes with its stream description.
    if (m_entries->GetDuration() > 0)
        return ResumeIfRemembered();
    if (tries > 0)
        QTimer::singleShot(WATCH_PERIOD_MS, this, [this, generation, tries] { ResumeWhenKnown(generation, tries - 1); });
}

void CSivoDlg::StopKeying() {
    ++m_nKeyGeneration;
    if (m_keyThread.joinable()) {
        m_bKeyCancel = true;
        m_keyThread.join();
    }
    m_bKeyCancel = false;
}

void CSivoDlg::SetMediaName(const std::string& name, const std::string& path) {
    m_strMediaName = name;
    m_strMediaPath = path;
    m_bStopped = false;
    update(TimeTextRect());
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::SetPaused(bool paused) {
    if (paused) {
        SetStateImage(*m_btnPlay, "/main/button-play-normal.png");
        m_entries->Pause();
    } else {
        m_entries->Play();
        SetStateImage(*m_btnPlay, "/main/button-pause-down.png");
    }
    m_bPlaying = !paused;
    ApplyLayout();
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::TogglePause() {
    SetPaused(!m_entries->IsPaused());
}

void CSivoDlg::SeekTo(double seconds) {
    const int duration = m_entries->GetDuration();
    if (duration <= 0 || std::isnan(seconds))
        return;
    seconds = std::clamp(seconds, 0.0, static_cast<double>(duration));
    m_entries->SeekTo(seconds);
    SeekMade(seconds);
}

void CSivoDlg::SeekMade(double target) {
    const int duration = m_entries->GetDuration();
    m_dSeekTarget = -1;
    m_seekClock.start();
    if (duration > 0)
        m_sliderProgress->SetPos(static_cast<int>(target * 100 / duration));
    update(TimeTextRect());
    if (m_pMpris)
        m_pMpris->Seeked(target);
}

bool CSivoDlg::SeekSettling() const {
    return m_seekClock.isValid() && !m_seekClock.hasExpired(SEEK_SETTLE_MS);
}

void CSivoDlg::SeekBy(double seconds) {
    const int duration = m_entries->GetDuration();
    if (duration <= 0 || std::isnan(seconds))
        return;
    // The player counts from the sound being heard as it seeks; the slider
    // and the media interface are told the same place.
    m_entries->SeekBy(seconds);
    SeekMade(std::clamp(m_entries->GetPositionSeconds() + seconds, 0.0, static_cast<double>(duration)));
}

void CSivoDlg::StopPlayback() {
    OnStop();
}

void CSivoDlg::ToggleMute() {
    m_bMuted = !m_bMuted;
    ApplyGain();
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::ApplyGain() {
    const int span = m_sliderVolume->GetRangeMax() - m_sliderVolume->GetRangeMin();
    const float share = span > 0 ? static_cast<float>(m_sliderVolume->GetPos() - m_sliderVolume->GetRangeMin()) / span
                                 : 1.0f;
    ThePlaySound().SetGain(m_bMuted ? 0.0f : m_bMixerReady ? 1.0f : share);
}

double CSivoDlg::VolumeShare() const {
    const int span = m_sliderVolume->GetRangeMax() - m_sliderVolume->GetRangeMin();
    return span > 0 ? static_cast<double>(m_sliderVolume->GetPos() - m_sliderVolume->GetRangeMin()) / span : 0.0;
}

double CSivoDlg::HeardVolume() const {
    return m_bMuted ? 0.0 : VolumeShare();
}

void CSivoDlg::SetVolumeShare(double share) {
    share = share >= 0.0 ? std::min(share, 1.0) : 0.0;   // NaN is silence
    const int min = m_sliderVolume->GetRangeMin(), max = m_sliderVolume->GetRangeMax();
    m_sliderVolume->SetPos(min + static_cast<int>(share * (max - min) + 0.5));
    m_bMuted = false;
    OnHScroll(SB_ENDSCROLL, 0, m_sliderVolume);
}

void CSivoDlg::StepVolume(int steps) {
    SetVolumeShare(VolumeShare() + static_cast<double>(steps) / VOLUME_STEPS);
}

void CSivoDlg::SetFullScreen(bool on) {
    if (on == m_bFullScreen)
        return;
    m_bFullScreen = on;
    if (on) {
        m_rcBeforeFullScreen = geometry();
        showFullScreen();
        // Without a window manager the state alone changes nothing.
        if (const QScreen* pScreen = screen())
            setGeometry(pScreen->geometry());
        ShowControls(false);
    } else {
        m_hideControlsTimer.stop();
        if (IsMaxed())
            showMaximized();
        else
            showNormal();
        setGeometry(m_rcBeforeFullScreen);
        ShowControls(true);
    }
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::ShowControls(bool shown) {
    m_bControlsShown = shown;
    for (QWidget* pControl : Controls())
        pControl->setVisible(shown);
    if (shown)
        m_video->unsetCursor();
    else
        m_video->setCursor(Qt::BlankCursor);
    PlaceVideo();
    if (shown && m_bFullScreen)
        m_hideControlsTimer.start();
}

void CSivoDlg::RaiseWindow() {
    raise();
    activateWindow();
}

void CSivoDlg::Quit() {
    reject();
}

const char* CSivoDlg::PlaybackStatus() {
    if (m_bStopped || m_strMediaName.empty())
        return "Stopped";
    return m_entries->IsPaused() ? "Paused" : "Playing";
}


QString CSivoDlg::TimeText() {
    return ClockText(m_entries->GetPosition()) + " / " + ClockText(m_entries->GetDuration());
}

double CSivoDlg::PositionSeconds() {
    return m_entries->GetPositionSeconds();
}

int CSivoDlg::DurationSeconds() {
    return m_entries->GetDuration();
}

QRect CSivoDlg::TimeTextRect() const {
    if (!m_sliderProgress)
        return QRect();
    const QRect slider = m_sliderProgress->geometry();
    const int top = height() - BottomBand() + 6;
    return QRect(slider.left(), top, std::max(0, width() - FrameAllowance() - 4 - slider.left()),
                 std::max(0, slider.top() - 2 - top));
}

void CSivoDlg::OnPaint(QPainter& painter) {
    CSkinDlg::OnPaint(painter);
    if (m_strMediaName.empty())
        return;
    const QRect area = TimeTextRect();
    QFont font = painter.font();
    font.setPixelSize(12);
    painter.setFont(font);
    painter.setPen(QColor(0xd8, 0xdc, 0xe2));
    const QFontMetrics metrics(font);
    const QString name = QString::fromLocal8Bit(m_strMediaName.c_str());
    if (area.height() >= 2 * metrics.height()) {
        const int line = area.height() / 2;
        painter.drawText(QRect(area.left(), area.top(), area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                         TimeText());
        painter.drawText(QRect(area.left(), area.top() + line, area.width(), line), Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(name, Qt::ElideMiddle, area.width()));
    } else {
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         metrics.elidedText(TimeText() + "  " + name, Qt::ElideRight, area.width()));
    }
}

void CSivoDlg::OnWatch() {
    if (m_bStopped || m_strMediaName.empty())
        return;
    const double position = m_entries->GetPositionSeconds();
    if (m_dLoopB >= 0 && position >= m_dLoopB) {
        m_entries->SeekTo(m_dLoopA);
        SeekMade(m_dLoopA);
        m_dLastPosition = -1;
        return;
    }
    // The end of a local medium with a next one in the list: the position
    // stands still near the end, unpaused.
    const int duration = m_entries->GetDuration();
    const bool still = position == m_dLastPosition;
    m_dLastPosition = position;
    if (!still || !m_stillClock.isValid()) {
        m_stillClock.start();
        return;
    }
    if (!m_strMediaKey.empty() && m_playlist.HasNext() && duration > 0 && position >= duration - END_WINDOW_S &&
        !m_entries->IsPaused() && m_stillClock.hasExpired(END_STILL_MS)) {
        DebugTrace("end of the medium: the next in the list\n");
        m_stillClock.invalidate();
        GoNext();
    }
}

void CSivoDlg::ToggleLoop() {
    if (m_bStopped || m_strMediaName.empty())
        return;
    const double position = m_entries->GetPositionSeconds();
    const auto at = [](double s) { return QString::asprintf("%s.%d", ClockText(int(s)).toLatin1().constData(), int(s * 10) % 10); };
    if (m_dLoopA < 0) {
        m_dLoopA = position;
        ShowNote(QStringLiteral("Loop from %1; l again sets its end").arg(at(position)));
    } else if (m_dLoopB < 0) {
        if (std::abs(position - m_dLoopA) < LOOP_MIN_S) {
            ShowNote(QStringLiteral("Loop end too close to its start"));
            return;
        }
        m_dLoopB = std::max(position, m_dLoopA);
        m_dLoopA = std::min(position, m_dLoopA);
        m_watchTimer.start(LOOP_WATCH_PERIOD_MS);
        ShowNote(QStringLiteral("Loop %1 - %2; l again ends it").arg(at(m_dLoopA), at(m_dLoopB)));
    } else {
        ClearLoop();
        ShowNote(QStringLiteral("Loop off"));
    }
}

void CSivoDlg::ClearLoop() {
    m_dLoopA = m_dLoopB = -1;
    if (m_watchTimer.interval() != WATCH_PERIOD_MS && m_watchTimer.isActive())
        m_watchTimer.start(WATCH_PERIOD_MS);
}

std::string CSivoDlg::ScreenshotDir() {
    const char* pictures = std::getenv("XDG_PICTURES_DIR");
    QString dir = pictures && pictures[0] == '/' ? QString::fromLocal8Bit(pictures)
                                                 : QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (dir.isEmpty())
        dir = QDir::homePath() + QStringLiteral("/Pictures");
    return dir.toLocal8Bit().toStdString() + "/sivo";
}

void CSivoDlg::TakeScreenshot() {
    const QImage picture = m_video ? m_video->CurrentPicture() : QImage();
    if (picture.isNull() || m_strMediaName.empty()) {
        ShowNote(QStringLiteral("No picture to save"));
        return;
    }
    const std::string dir = ScreenshotDir();
    const std::string name = ScreenshotName(m_strMediaName, m_entries->GetPositionSeconds());
    if (m_shotThread.joinable())
        m_shotThread.join();
    // PNG takes a while for a large picture: written off the UI thread,
    // under a temporary name renamed into place.
    m_shotThread = std::thread([this, picture, dir, name] {
        std::string path, error;
        if (!MakeDirectories(dir)) {
            error = "cannot create " + dir;
        } else {
            path = dir + "/" + name + ".png";
            for (int n = 2; QFileInfo::exists(QString::fromLocal8Bit(path.c_str())) && n < 1000; ++n)
                path = dir + "/" + name + "-" + std::to_string(n) + ".png";
            const std::string temporary = dir + "/." + name + ".png.new";
            if (!picture.save(QString::fromLocal8Bit(temporary.c_str()), "PNG") ||
                ::rename(temporary.c_str(), path.c_str()) != 0) {
                ::unlink(temporary.c_str());
                error = "cannot write " + path;
                path.clear();
            }
        }
        QMetaObject::invokeMethod(
            this,
            [this, path, error] {
                if (m_shotThread.joinable())
                    m_shotThread.join();
                if (path.empty()) {
                    DebugTrace("screenshot not saved: %s\n", error.c_str());
                    ShowNote(QStringLiteral("Screenshot not saved: ") + QString::fromLocal8Bit(error.c_str()));
                    return;
                }
                m_strLastShot = path;
                DebugTrace("screenshot saved to %s\n", path.c_str());
                ShowNote(QStringLiteral("Screenshot saved to ") + QString::fromLocal8Bit(path.c_str()));
            },
            Qt::QueuedConnection);
    });
}

QString CSivoDlg::NoteText() const {
    return m_pNote && m_pNote->isVisible() ? m_pNote->text() : QString();
}

void CSivoDlg::ShowNote(const QString& note, int ms) {
    if (!m_pNote)
        return;
    const int width = std::max(0, m_video->width() - 16);
    m_pNote->setText(m_pNote->fontMetrics().elidedText(note, Qt::ElideRight, std::max(0, width - 16)));
    m_pNote->adjustSize();
    const QSize size(std::min(width, m_pNote->sizeHint().width()), m_pNote->sizeHint().height());
    m_pNote->setGeometry(8, std::max(0, m_video->height() - size.height() - 8), size.width(), size.height());
    m_pNote->show();
    m_pNote->raise();
    if (ms > 0)
        m_noteTimer.start(ms);
}

QString CSivoDlg::ReasonText() const {
    return m_pReason && m_pReason->isVisible() ? m_strReason : QString();
}

void CSivoDlg::ShowReason(const QString& reason) {
    m_strReason = reason;
    if (!m_pReason)
        return;
    if (reason.isEmpty()) {
        m_pReason->hide();
        return;
    }
    const int width = std::max(0, m_video->width() - 16);
    m_pReason->setText(m_pReason->fontMetrics().elidedText(reason, Qt::ElideMiddle, std::max(0, width - 16)));
    m_pReason->setGeometry(8, 8, width, m_pReason->sizeHint().height());
    m_pReason->show();
    m_pReason->raise();
}

void CSivoDlg::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CSivoDlg::dropEvent(QDropEvent* event) {
    const QList<QUrl> urls = event->mimeData()->urls();
    event->acceptProposedAction();
    std::vector<std::string> files;
    for (const QUrl& url : urls)
        if (url.isLocalFile())
            files.push_back(url.toLocalFile().toLocal8Bit().toStdString());
    if (files.empty()) {
        ShowReason(QStringLiteral("Drop local files to play them"));
        return;
    }
    if (AddDroppedSubtitles(files))
        return;
    OpenFiles(files);
}

// Streams, subtitles, chapters and speed.

namespace {

// Menu texts take & as a mnemonic mark.
QString MenuText(const std::string& text) {
    return QString::fromUtf8(text.c_str()).replace('&', QStringLiteral("&&"));
}

bool IsSubtitleFile(const std::string& path) {
    const QString suffix = QFileInfo(QString::fromLocal8Bit(path.c_str())).suffix().toLower();
    return suffix == "srt" || suffix == "ass" || suffix == "ssa" || suffix == "vtt" || suffix == "sub";
}

} // namespace

void CSivoDlg::CycleAudio() {
    const std::vector<SivoEntries::AudioStream> streams = m_entries->AudioStreams();
    if (streams.empty()) {
        ShowNote(QStringLiteral("Audio: none"));
        return;
    }
    const auto selected = std::find_if(streams.begin(), streams.end(), [](const auto& st) { return st.selected; });
    const size_t next = selected == streams.end() ? 0 : (selected - streams.begin() + 1) % streams.size();
    m_entries->SelectAudioStream(streams[next].index);
    ShowNote(QStringLiteral("Audio: ") + QString::fromUtf8(streams[next].label.c_str()));
    RebuildTrackMenus();
}

void CSivoDlg::CycleSubtitle() {
    const std::vector<SivoEntries::SubtitleChoice> choices = m_entries->SubtitleChoices();
    const int count = static_cast<int>(choices.size());
    const int current = m_entries->SelectedSubtitle();
    // Off follows the last; anything out of range starts again at the first.
    const int next = current < 0 ? (count > 0 ? 0 : -1) : (current + 1 < count ? current + 1 : -1);
    m_entries->SelectSubtitle(next);
    ShowNote(QStringLiteral("Subtitles: ") +
             (next < 0 ? QStringLiteral("off") : QString::fromUtf8(choices[next].label.c_str())));
    RebuildTrackMenus();
}

void CSivoDlg::StepSubtitleDelay(double seconds) {
    // Whole milliseconds, so steps add up to what the note shows.
    const double delay = std::round((m_entries->SubtitleDelay() + seconds) * 1000) / 1000;
    m_entries->SetSubtitleDelay(delay);
    ShowNote(QString::asprintf("Subtitle delay: %+d ms", static_cast<int>(std::lround(m_entries->SubtitleDelay() * 1000))));
}

void CSivoDlg::StepSubtitleScale(double step) {
    const double scale = std::round((m_entries->SubtitleScale() + step) * 100) / 100;
    m_entries->SetSubtitleScale(scale);
    ShowNote(QString::asprintf("Subtitle size: %d%%", static_cast<int>(std::lround(m_entries->SubtitleScale() * 100))));
}

void CSivoDlg::StepChapter(bool forward) {
    const std::vector<SivoEntries::Chapter> chapters = m_entries->Chapters();
    if (chapters.empty()) {
        ShowNote(QStringLiteral("No chapters"));
        return;
    }
    const double position = m_entries->GetPositionSeconds();
    // The chapter playing: the last that starts at or before the position.
    int current = -1;
    for (int i = 0; i < static_cast<int>(chapters.size()); ++i)
        if (chapters[i].start <= position)
            current = i;
    int target;
    if (forward) {
        target = current + 1;
        if (target >= static_cast<int>(chapters.size())) {
            ShowNote(QStringLiteral("Last chapter"));
            return;
        }
    } else if (current < 0) {
        target = 0;
    } else {
        target = position - chapters[current].start < CHAPTER_RESTART_S && current > 0 ? current - 1 : current;
    }
    SeekTo(chapters[target].start);
    const std::string& title = chapters[target].title;
    ShowNote(QStringLiteral("Chapter %1/%2%3")
                 .arg(target + 1)
                 .arg(chapters.size())
                 .arg(title.empty() ? QString() : QStringLiteral(": ") + QString::fromUtf8(title.c_str())));
}

void CSivoDlg::StepSpeed(bool faster) {
    const double speed = m_entries->Speed();
    SetRate(std::round((faster ? speed * SPEED_STEP : speed / SPEED_STEP) * 100) / 100);
}

double CSivoDlg::Rate() {
    return m_entries->Speed();
}

void CSivoDlg::SetRate(double rate) {
    if (std::isnan(rate))
        return;
    m_entries->SetSpeed(std::clamp(rate, MIN_SPEED, MAX_SPEED));
    ShowNote(QString::asprintf("Speed: %.2fx", m_entries->Speed()));
    if (m_pMpris)
        m_pMpris->Publish();
}

void CSivoDlg::RebuildTrackMenus() {
    if (!m_pAudioMenu) {
        m_pAudioMenu = new QMenu(QStringLiteral("Au&dio"), this);
        m_pSubtitleMenu = new QMenu(QStringLiteral("Su&btitles"), this);
        m_pChapterMenu = new QMenu(QStringLiteral("C&hapters"), this);
    }
    // The groups own the stream items; the chapter items are the menu's own.
    for (QMenu* pMenu : {m_pAudioMenu, m_pSubtitleMenu})
        qDeleteAll(pMenu->findChildren<QActionGroup*>(Qt::FindDirectChildrenOnly));
    m_pChapterMenu->clear();

    auto* pAudio = new QActionGroup(m_pAudioMenu);
    for (const SivoEntries::AudioStream& st : m_entries->AudioStreams()) {
        QAction* pAction = pAudio->addAction(MenuText(st.label));
        pAction->setCheckable(true);
        pAction->setChecked(st.selected);
        const int index = st.index;
        const QString label = QString::fromUtf8(st.label.c_str());
        connect(pAction, &QAction::triggered, this, [this, index, label] {
            // The group moves the check; the menu is rebuilt when next shown.
            m_entries->SelectAudioStream(index);
            ShowNote(QStringLiteral("Audio: ") + label);
        });
    }
    m_pAudioMenu->addActions(pAudio->actions());
    m_pAudioMenu->setEnabled(!pAudio->actions().isEmpty());

    const std::vector<SivoEntries::SubtitleChoice> choices = m_entries->SubtitleChoices();
    const int selected = m_entries->SelectedSubtitle();
    auto* pSubtitles = new QActionGroup(m_pSubtitleMenu);
    for (int choice = -1; choice < static_cast<int>(choices.size()); ++choice) {
        const QString label = choice < 0 ? QStringLiteral("off") : QString::fromUtf8(choices[choice].label.c_str());
        QAction* pAction =
            pSubtitles->addAction(choice < 0 ? QStringLiteral("&Off") : MenuText(choices[choice].label));
        pAction->setCheckable(true);
        pAction->setChecked(choice == selected || (choice < 0 && selected >= static_cast<int>(choices.size())));
        connect(pAction, &QAction::triggered, this, [this, choice, label] {
            m_entries->SelectSubtitle(choice);
            ShowNote(QStringLiteral("Subtitles: ") + label);
        });
    }
    m_pSubtitleMenu->addActions(pSubtitles->actions());
    m_pSubtitleMenu->setEnabled(!choices.empty());

    for (const SivoEntries::Chapter& chapter : m_entries->Chapters()) {
        const double start = chapter.start;
        QAction* pAction = m_pChapterMenu->addAction(ClockText(static_cast<int>(start)) + "  " + MenuText(chapter.title));
        connect(pAction, &QAction::triggered, this, [this, start] { SeekTo(start); });
    }
    m_pChapterMenu->setEnabled(!m_pChapterMenu->actions().isEmpty());
}

bool CSivoDlg::AddDroppedSubtitles(const std::vector<std::string>& paths) {
    if (m_bStopped || m_strMediaPath.empty() || m_strMediaPath.front() != '/' ||
        !std::all_of(paths.begin(), paths.end(), IsSubtitleFile))
        return false;
    for (const std::string& path : paths)
        m_entries->AddSubtitleFile(path);
    ShowNote(QStringLiteral("Subtitles: ") + QFileInfo(QString::fromLocal8Bit(paths.back().c_str())).fileName());
    RebuildTrackMenus();
    return true;
}
