#pragma once
#include "app/MprisHost.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// The window on the session bus as org.mpris.MediaPlayer2.sivo, so media
// keys and desktop widgets can drive it and show what plays. Properties are
// read from the window, through MprisHost, on demand; Publish sends
// PropertiesChanged for what changed since the last call. Position is never
// announced (clients poll it); seeks are announced with Seeked.
//
// Threads: UI thread only.
class CMpris : public QObject {
    Q_OBJECT
public:
    // Registers on the session bus; null (and the window runs without it)
    // when there is no bus or the name is taken.
    static CMpris* Start(MprisHost* pHost);
    ~CMpris() override;

    void Publish();
    // Announces where a seek went.
    void Seeked(double seconds);

    MprisHost& Host() const { return *m_pHost; }
    QVariantMap Metadata() const;
    QVariantMap PlayerProperties() const;
    QVariantMap RootProperties() const;

private:
    explicit CMpris(MprisHost* pHost);
    void Announce(const char* interface, const QVariantMap& now, QVariantMap& last);

    MprisHost* m_pHost;
    QVariantMap m_lastPlayer;
    QVariantMap m_lastRoot;
};

// org.mpris.MediaPlayer2
class CMprisRoot : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ CanQuit)
    Q_PROPERTY(bool CanRaise READ CanRaise)
    Q_PROPERTY(bool CanSetFullscreen READ CanSetFullscreen)
    Q_PROPERTY(bool Fullscreen READ Fullscreen WRITE SetFullscreen)
    Q_PROPERTY(bool HasTrackList READ HasTrackList)
    Q_PROPERTY(QString Identity READ Identity)
    Q_PROPERTY(QString DesktopEntry READ DesktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ SupportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ SupportedMimeTypes)
public:
    explicit CMprisRoot(CMpris* pMpris) : QDBusAbstractAdaptor(pMpris), m_pMpris(pMpris) {}
    bool CanQuit() const { return true; }
    bool CanRaise() const { return true; }
    bool CanSetFullscreen() const { return true; }
    bool Fullscreen() const;
    void SetFullscreen(bool on);
    bool HasTrackList() const { return false; }
    QString Identity() const { return QStringLiteral("sivo"); }
    QString DesktopEntry() const { return QStringLiteral("sivo"); }
    QStringList SupportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList SupportedMimeTypes() const;

public slots:
    void Raise();
    void Quit();

private:
    CMpris* m_pMpris;
};

// org.mpris.MediaPlayer2.Player
class CMprisPlayer : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ PlaybackStatus)
    Q_PROPERTY(double Rate READ Rate WRITE SetRate)
    Q_PROPERTY(double MinimumRate READ MinimumRate)
    Q_PROPERTY(double MaximumRate READ MaximumRate)
    Q_PROPERTY(QVariantMap Metadata READ Metadata)
    Q_PROPERTY(double Volume READ Volume WRITE SetVolume)
    Q_PROPERTY(qlonglong Position READ Position)
    Q_PROPERTY(bool CanGoNext READ CanGoNext)
    Q_PROPERTY(bool CanGoPrevious READ CanGoPrevious)
    Q_PROPERTY(bool CanPlay READ True)
    Q_PROPERTY(bool CanPause READ True)
    Q_PROPERTY(bool CanSeek READ True)
    Q_PROPERTY(bool CanControl READ True)
public:
    explicit CMprisPlayer(CMpris* pMpris) : QDBusAbstractAdaptor(pMpris), m_pMpris(pMpris) {}
    QString PlaybackStatus() const;
    double Rate() const { return m_pMpris->Host().Rate(); }
    void SetRate(double rate);
    double MinimumRate() const { return kMinimumRate; }
    double MaximumRate() const { return kMaximumRate; }
    static constexpr double kMinimumRate = 0.25;
    static constexpr double kMaximumRate = 4.0;
    QVariantMap Metadata() const { return m_pMpris->Metadata(); }
    double Volume() const;
    void SetVolume(double volume);
    qlonglong Position() const;
    bool CanGoNext() const { return m_pMpris->Host().CanGoNext(); }
    bool CanGoPrevious() const { return m_pMpris->Host().CanGoPrevious(); }
    bool True() const { return true; }

public slots:
    void Next() { m_pMpris->Host().GoNext(); }
    void Previous() { m_pMpris->Host().GoPrevious(); }
    void Pause();
    void PlayPause();
    void Stop();
    void Play();
    // offset in microseconds from the current position.
    void Seek(qlonglong offset, const QDBusMessage& message);
    // position in microseconds; refused unless trackId is the current track
    // and the position lies within it.
    void SetPosition(const QDBusObjectPath& trackId, qlonglong position, const QDBusMessage& message);
    // file:// URIs of local media only.
    void OpenUri(const QString& uri, const QDBusMessage& message);

signals:
    void Seeked(qlonglong position);

private:
    CMpris* m_pMpris;
};
