#include "app/RemoteConsent.h"

#include "app/AtomicFile.h"
#include "platform/NetAddress.h"
#include "platform/Trace.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>
#include <tuple>
#include <ifaddrs.h>

namespace {

// A list longer than this is no list of devices a person allowed.
constexpr size_t kMaxFileBytes = 1 << 20;

bool IsDirectionControl(char32_t c) {
    return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F ||
           c == 0x061C;
}

// Unprintable in a line of text: C0 and C1 controls, line and paragraph
// separators, and the marks that reorder what follows.
bool NeedsEscape(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029 || IsDirectionControl(c);
}

QString Escape(char32_t c) {
    switch (c) {
    case '\n': return QStringLiteral("\\n");
    case '\r': return QStringLiteral("\\r");
    case '\t': return QStringLiteral("\\t");
    default:
        return c < 0x100 ? QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'))
                         : QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
}

bool IsLoopback(const NetAddress& a) {
    const auto& b = a.Bytes();
    if (a.IsIpv4())
        return b[12] == 127;
    return std::all_of(b.begin(), b.end() - 1, [](uint8_t v) { return v == 0; }) && b[15] == 1;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A name kept in the file stays on its line.
std::string OneLine(std::string name) {
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return Trimmed(name);
}

} // namespace

QString PlainShown(const std::string& text, int maxChars) {
    const QString raw = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    QString shown;
    for (const char32_t c : raw.toUcs4())
        shown += NeedsEscape(c) ? Escape(c) : QString::fromUcs4(&c, 1);
    if (maxChars > 1 && shown.size() > maxChars) {
        const int head = (maxChars - 1) / 2, tail = maxChars - 1 - head;
        shown = shown.left(head) + QChar(0x2026) + shown.right(tail);
    }
    return shown;
}

bool IsThisMachine(const std::string& address) {
    const std::optional<NetAddress> a = NetAddress::Parse(address);
    if (!a)
        return false;
    if (IsLoopback(*a))
        return true;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return false;
    bool mine = false;
    for (const ifaddrs* p = list; p && !mine; p = p->ifa_next)
        if (p->ifa_addr)
            if (const std::optional<NetAddress> own = NetAddress::FromSockaddr(p->ifa_addr))
                mine = *own == *a;
    ::freeifaddrs(list);
    return mine;
}

// AllowedPeers

std::string AllowedPeers::DefaultPath() {
    return SivoDirectory("XDG_CONFIG_HOME", ".config") + "/allowed-devices";
}

bool AllowedPeers::Load() {
    m_devices.clear();
    m_strProblem.clear();
    std::string content;
    bool missing = false;
    if (!ReadSmallFile(m_strPath, kMaxFileBytes, content, missing)) {
        if (missing)
            return true;
        m_strProblem = "Allowed devices cannot be read; none is allowed (" + m_strPath + ")";
        return false;
    }
    int number = 0;
    for (size_t start = 0; start < content.size();) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        const std::string line = Trimmed(content.substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t gap = line.find_first_of(" \t");
        const std::string address = line.substr(0, gap);
        const std::optional<NetAddress> parsed = NetAddress::Parse(address);
        if (!parsed) {
            if (m_strProblem.empty())
                m_strProblem = "Allowed devices, line " + std::to_string(number) + ": no device address; ignored (" +
                               m_strPath + ")";
            continue;
        }
        const std::string name = gap == std::string::npos ? std::string() : OneLine(line.substr(gap));
        if (!Allows(parsed->ToString()))
            m_devices.push_back({parsed->ToString(), name});
    }
    return m_strProblem.empty();
}

bool AllowedPeers::Allows(const std::string& address) const {
    const std::optional<NetAddress> a = NetAddress::Parse(address);
    if (!a)
        return false;
    const std::string key = a->ToString();
    return std::any_of(m_devices.begin(), m_devices.end(), [&](const Device& d) { return d.address == key; });
}

bool AllowedPeers::Add(const std::string& address, const std::string& name) {
    const std::optional<NetAddress> a = NetAddress::Parse(address);
    if (!a)
        return false;
    const std::string key = a->ToString();
    auto it = std::find_if(m_devices.begin(), m_devices.end(), [&](const Device& d) { return d.address == key; });
    if (it == m_devices.end())
        m_devices.push_back({key, OneLine(name)});
    else
        it->name = OneLine(name);
    return Save();
}

bool AllowedPeers::Remove(const std::string& address) {
    const auto it =
        std::find_if(m_devices.begin(), m_devices.end(), [&](const Device& d) { return d.address == address; });
    if (it == m_devices.end())
        return false;
    m_devices.erase(it);
    return Save();
}

bool AllowedPeers::Save() {
    std::string content = "# Devices allowed to make sivo play: an address, then the name it was shown by.\n";
    for (const Device& d : m_devices)
        content += d.address + (d.name.empty() ? "" : " " + d.name) + "\n";
    std::string error;
    if (WriteFileAtomically(m_strPath, content, error))
        return true;
    DebugTrace("allowed devices not saved: %s\n", error.c_str());
    m_strProblem = error;
    return false;
}

// ConsentPrompt

ConsentPrompt::ConsentPrompt(QWidget* pParent, std::string peer, int waitMs)
    : QFrame(pParent), m_strPeer(std::move(peer)) {
    setObjectName(QStringLiteral("ConsentPrompt"));
    setAutoFillBackground(true);
    setFrameShape(QFrame::StyledPanel);
    auto* pLayout = new QVBoxLayout(this);
    m_pText = new QLabel(this);
    // Whatever a peer sends is shown as the characters it is, never as markup.
    m_pText->setTextFormat(Qt::PlainText);
    m_pText->setWordWrap(true);
    pLayout->addWidget(m_pText);
    auto* pButtons = new QHBoxLayout;
    // The window's keys answer the top prompt (Alt+A, Alt+D, Alt+I).
    const std::tuple<const char*, const char*, Answer> buttons[] = {
        {"Allow once", "Alt+A", Answer::AllowOnce},
        {"Always allow this device", "Alt+D", Answer::AlwaysAllow},
        {"Ignore", "Alt+I", Answer::Ignore}};
    for (const auto& [text, key, answer] : buttons) {
        auto* pButton = new QPushButton(QString::fromLatin1(text), this);
        pButton->setObjectName(QString::fromLatin1(text));
        pButton->setToolTip(QString::fromLatin1(key));
        pButton->setFocusPolicy(Qt::NoFocus);
        connect(pButton, &QPushButton::clicked, this, [this, answer = answer] { Reply(answer); });
        pButtons->addWidget(pButton);
    }
    pLayout->addLayout(pButtons);
    m_wait.setSingleShot(true);
    connect(&m_wait, &QTimer::timeout, this, [this] { Reply(Answer::Unanswered); });
    m_wait.start(waitMs);
}

void ConsentPrompt::Ask(const std::string& server, const std::string& fileName) {
    m_strServer = server;
    m_strFileName = fileName;
    m_pText->setText(Text());
}

QString ConsentPrompt::Text() const {
    QString text = PlainShown(m_strPeer, 64) + QStringLiteral(" wants to play ") + PlainShown(m_strFileName);
    // The device may ask for another machine's file: say whose.
    if (m_strServer != m_strPeer)
        text += QStringLiteral(" from ") + PlainShown(m_strServer, 64);
    return text;
}

void ConsentPrompt::Reply(Answer answer) {
    if (m_bAnswered)
        return;
    m_bAnswered = true;
    m_wait.stop();
    hide();
    emit Answered(this, answer);
    deleteLater();
}
