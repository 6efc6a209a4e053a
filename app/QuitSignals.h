#pragma once
#include <QObject>

#include <csignal>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a Qt signal on the UI thread, so the window
// can close the ordinary way (its shutdown sequence runs) instead of the
// process dying mid-playback. The handler only writes a byte to a socket
// pair; a QSocketNotifier reads it in the event loop.
//
// Must be constructed before anything else installs handlers for these
// signals (the audio layer's library leaves an existing handler alone).
// Only one instance may exist at a time.
//
// Threads: UI thread only (construction, destruction, Raised).
class CQuitSignals : public QObject {
    Q_OBJECT
public:
    explicit CQuitSignals(QObject* pParent = nullptr);
    ~CQuitSignals() override;
    CQuitSignals(const CQuitSignals&) = delete;
    CQuitSignals& operator=(const CQuitSignals&) = delete;

signals:
    // SIGINT or SIGTERM arrived.
    void Raised();

private:
    void OnReadable();

    int m_fds[2] = {-1, -1};
    QSocketNotifier* m_pNotifier = nullptr;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
};
