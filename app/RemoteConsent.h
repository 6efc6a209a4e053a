#pragma once
#include <QFrame>
#include <QString>
#include <QTimer>

#include <functional>
#include <string>
#include <vector>

class QLabel;

// Text that came from outside (a peer's address, a file name), made fit to
// show as plain text: bytes that are not UTF-8 become U+FFFD, control and
// direction-changing characters are shown as escapes (\n, \x07, \u202e),
// and more than maxChars characters are cut in the middle.
QString PlainShown(const std::string& text, int maxChars = 120);

// Whether the address (a literal) is this machine's: loopback or an address
// of one of its interfaces.
bool IsThisMachine(const std::string& address);

// The devices the person has allowed to make the window play: one line per
// device, its address and the name it was shown by, in a file under
// $XDG_CONFIG_HOME/sivo/ (else ~/.config/sivo/). Every change rewrites the
// file whole, atomically (a temporary file renamed over it), so a crash
// leaves the old list or the new one.
//
// Threads: UI thread only.
class AllowedPeers {
public:
    struct Device {
        std::string address;  // the literal as NetAddress writes it
        std::string name;
    };

    // The file's place: $XDG_CONFIG_HOME/sivo/allowed-devices, else under ~/.config.
    static std::string DefaultPath();

    explicit AllowedPeers(std::string path = DefaultPath()) : m_strPath(std::move(path)) {}

    // Reads the file; a missing one is an empty list. Lines that are not a
    // device are skipped (nobody is allowed by a broken line) and Problem()
    // names the first of them with its line number. False when the file
    // exists but cannot be read or holds a broken line.
    bool Load();
    const std::string& Problem() const { return m_strProblem; }

    bool Allows(const std::string& address) const;
    // Adds (or renames) a device and writes the file; false when the address
    // is no literal or the file could not be written (the device is allowed
    // for this run all the same).
    bool Add(const std::string& address, const std::string& name);
    // Removes a device and writes the file; false when it was not listed or
    // the file could not be written.
    bool Remove(const std::string& address);
    const std::vector<Device>& Devices() const { return m_devices; }
    const std::string& Path() const { return m_strPath; }

private:
    bool Save();

    std::string m_strPath;
    std::vector<Device> m_devices;
    std::string m_strProblem;
};

// The small question a play request from an unknown device puts over the
// video: "<peer> wants to play <file>", Allow once / Always allow this device
// / Ignore. It goes by itself, unanswered, after its wait. A newer request
// of the same device replaces the file it asks about; its wait goes on.
//
// Threads: a widget of the UI thread.
class ConsentPrompt : public QFrame {
    Q_OBJECT
public:
    enum class Answer { AllowOnce, AlwaysAllow, Ignore, Unanswered };

    ConsentPrompt(QWidget* pParent, std::string peer, int waitMs);

    const std::string& Peer() const { return m_strPeer; }
    const std::string& Server() const { return m_strServer; }
    const std::string& FileName() const { return m_strFileName; }
    // What the device asks for: play `fileName` served by `server`.
    void Ask(const std::string& server, const std::string& fileName);
    QString Text() const;
    // Answers as the buttons do.
    void Reply(Answer answer);

signals:
    // Once, with the answer; the prompt deletes itself after.
    void Answered(ConsentPrompt* pPrompt, ConsentPrompt::Answer answer);

private:
    std::string m_strPeer;
    std::string m_strServer;
    std::string m_strFileName;
    QLabel* m_pText = nullptr;
    QTimer m_wait;
    bool m_bAnswered = false;
};
