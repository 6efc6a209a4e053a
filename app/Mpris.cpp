#include "app/Mpris.h"

#include "platform/Trace.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDir>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

constexpr char kService[] = "org.mpris.MediaPlayer2.sivo";
constexpr char kObjectPath[] = "/org/mpris/MediaPlayer2";
constexpr char kRootInterface[] = "org.mpris.MediaPlayer2";
constexpr char kPlayerInterface[] = "org.mpris.MediaPlayer2.Player";
constexpr qlonglong kMicroseconds = 1000000;

void Refuse(const QDBusMessage& message, const QString& why) {
    message.setDelayedReply(true);
    QDBusConnection::sessionBus().send(message.createErrorReply(QDBusError::InvalidArgs, why));
}

// One object path per medium opened, so a SetPosition aimed at an earlier
// medium is refused.
QDBusObjectPath TrackId(const std::string& path) {
    const size_t hash = std::hash<std::string>{}(path);
    return QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/sivo/track/t") + QString::number(hash, 16));
}

} // namespace

CMpris* CMpris::Start(MprisHost* pHost) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        DebugTrace("no session bus: the media player interface is off\n");
        return nullptr;
    }
    auto* pMpris = new CMpris(pHost);
    new CMprisRoot(pMpris);
    new CMprisPlayer(pMpris);
    if (!bus.registerObject(kObjectPath, pMpris) || !bus.registerService(kService)) {
        DebugTrace("media player interface not registered: %s\n", bus.lastError().message().toLocal8Bit().constData());
        bus.unregisterObject(kObjectPath);
        delete pMpris;
        return nullptr;
    }
    pMpris->Publish();
    return pMpris;
}

CMpris::CMpris(MprisHost* pHost) : m_pHost(pHost) {}

CMpris::~CMpris() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.unregisterService(kService);
    bus.unregisterObject(kObjectPath);
}

QVariantMap CMpris::Metadata() const {
    QVariantMap map;
    const std::string& path = m_pHost->MediaPath();
    map.insert(QStringLiteral("mpris:trackid"),
               QVariant::fromValue(path.empty() ? QDBusObjectPath(QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack"))
                                                : TrackId(path)));
    if (path.empty())
        return map;
    map.insert(QStringLiteral("mpris:length"), qlonglong{m_pHost->DurationSeconds()} * kMicroseconds);
    map.insert(QStringLiteral("xesam:title"), QString::fromLocal8Bit(m_pHost->MediaName().c_str()));
    if (path.front() == '/')
        map.insert(QStringLiteral("xesam:url"), QUrl::fromLocalFile(QString::fromLocal8Bit(path.c_str())).toString(QUrl::FullyEncoded));
    return map;
}

QVariantMap CMpris::PlayerProperties() const {
    return {{QStringLiteral("PlaybackStatus"), QString::fromLatin1(m_pHost->PlaybackStatus())},
            {QStringLiteral("Metadata"), Metadata()},
            {QStringLiteral("Volume"), m_pHost->HeardVolume()},
            {QStringLiteral("Rate"), m_pHost->Rate()},
            {QStringLiteral("CanGoNext"), m_pHost->CanGoNext()},
            {QStringLiteral("CanGoPrevious"), m_pHost->CanGoPrevious()}};
}

QVariantMap CMpris::RootProperties() const {
    return {{QStringLiteral("Fullscreen"), m_pHost->IsFullScreen()}};
}

void CMpris::Announce(const char* interface, const QVariantMap& now, QVariantMap& last) {
    QVariantMap changed;
    for (auto it = now.begin(); it != now.end(); ++it)
        if (last.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    last = now;
    if (changed.isEmpty())
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("PropertiesChanged"));
    signal << QString::fromLatin1(interface) << changed << QStringList();
    QDBusConnection::sessionBus().send(signal);
}

void CMpris::Publish() {
    Announce(kPlayerInterface, PlayerProperties(), m_lastPlayer);
    Announce(kRootInterface, RootProperties(), m_lastRoot);
}

void CMpris::Seeked(double seconds) {
    if (auto* pPlayer = findChild<CMprisPlayer*>())
        emit pPlayer->Seeked(std::llround(seconds * kMicroseconds));
    Publish();
}

// org.mpris.MediaPlayer2

bool CMprisRoot::Fullscreen() const { return m_pMpris->Host().IsFullScreen(); }
void CMprisRoot::SetFullscreen(bool on) { m_pMpris->Host().SetFullScreen(on); }

QStringList CMprisRoot::SupportedMimeTypes() const {
    return {QStringLiteral("video/mp4"), QStringLiteral("video/x-matroska"), QStringLiteral("video/webm"),
            QStringLiteral("video/mpeg"), QStringLiteral("video/x-msvideo"), QStringLiteral("audio/mpeg"),
            QStringLiteral("audio/aac"), QStringLiteral("audio/flac"), QStringLiteral("audio/ogg"),
            QStringLiteral("audio/x-wav")};
}

void CMprisRoot::Raise() {
    m_pMpris->Host().RaiseWindow();
}

void CMprisRoot::Quit() {
    m_pMpris->Host().Quit();
}

// org.mpris.MediaPlayer2.Player

QString CMprisPlayer::PlaybackStatus() const { return QString::fromLatin1(m_pMpris->Host().PlaybackStatus()); }

double CMprisPlayer::Volume() const {
    return m_pMpris->Host().HeardVolume();
}

void CMprisPlayer::SetVolume(double volume) {
    m_pMpris->Host().SetVolumeShare(volume);
}

void CMprisPlayer::SetRate(double rate) {
    // Outside MinimumRate..MaximumRate clamps rather than failing the write;
    // the window announces the rate it took.
    if (std::isnan(rate))
        return;
    m_pMpris->Host().SetRate(std::clamp(rate, kMinimumRate, kMaximumRate));
}

qlonglong CMprisPlayer::Position() const {
    return std::llround(std::max(0.0, m_pMpris->Host().PositionSeconds()) * kMicroseconds);
}

void CMprisPlayer::Pause() { m_pMpris->Host().SetPaused(true); }
void CMprisPlayer::Play() { m_pMpris->Host().SetPaused(false); }
void CMprisPlayer::PlayPause() { m_pMpris->Host().TogglePause(); }
void CMprisPlayer::Stop() { m_pMpris->Host().StopPlayback(); }

void CMprisPlayer::Seek(qlonglong offset, const QDBusMessage& message) {
    MprisHost& host = m_pMpris->Host();
    const qlonglong duration = host.DurationSeconds();
    if (duration <= 0)
        return Refuse(message, QStringLiteral("nothing to seek in"));
    host.SeekBy(static_cast<double>(offset) / kMicroseconds);
}

void CMprisPlayer::SetPosition(const QDBusObjectPath& trackId, qlonglong position, const QDBusMessage& message) {
    MprisHost& host = m_pMpris->Host();
    const qlonglong duration = host.DurationSeconds();
    if (host.MediaPath().empty() || trackId != TrackId(host.MediaPath()))
        return Refuse(message, QStringLiteral("not the current track"));
    if (position < 0 || position > duration * kMicroseconds)
        return Refuse(message, QStringLiteral("position outside the track"));
    host.SeekTo(static_cast<double>(position) / kMicroseconds);
}

void CMprisPlayer::OpenUri(const QString& uri, const QDBusMessage& message) {
    const QUrl url(uri, QUrl::StrictMode);
    if (!url.isValid() || !url.isLocalFile() || !QDir::isAbsolutePath(url.toLocalFile()))
        return Refuse(message, QStringLiteral("only file:// URIs of absolute paths can be opened"));
    if (!m_pMpris->Host().OpenMedia(url.toLocalFile().toLocal8Bit().toStdString()))
        return Refuse(message, m_pMpris->Host().ReasonText());
}
