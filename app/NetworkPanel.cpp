#include "app/NetworkPanel.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

constexpr int kPanelWidth = 360;
constexpr int kMachineRole = Qt::UserRole;      // the machine's address, on every item
constexpr int kNameRole = Qt::UserRole + 1;     // a file's full catalogue name
constexpr char kPlaceholder[] = "Listing…";
// Deeper paths show their rest as one name: a peer cannot nest the tree without end.
constexpr size_t kMaxFolderDepth = 32;

// Bidirectional embeddings and overrides, with which a name could show
// another name's letters in another order.
bool IsDirectionControl(QChar c) {
    switch (c.direction()) {
    case QChar::DirLRE: case QChar::DirLRO: case QChar::DirRLE: case QChar::DirRLO: case QChar::DirPDF:
    case QChar::DirLRI: case QChar::DirRLI: case QChar::DirFSI: case QChar::DirPDI:
        return true;
    default:
        return false;
    }
}

// Text a peer sent, made fit to show: not UTF-8 becomes U+FFFD (by the
// conversion), and so does every control character.
QString Shown(const std::string& text) {
    QString shown = QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
    for (QChar& c : shown)
        if (c.category() == QChar::Other_Control || IsDirectionControl(c))
            c = QChar::ReplacementCharacter;
    return shown;
}

// The folders of a catalogue name and its file name; empty parts (the root's
// doubled slash) are skipped.
std::vector<std::string> PathParts(const std::string& name) {
    std::vector<std::string> parts;
    for (size_t start = 0; start <= name.size();) {
        size_t slash = name.find('/', start);
        if (slash == std::string::npos)
            slash = name.size();
        if (slash > start)
            parts.push_back(name.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

} // namespace

NetworkPanel::NetworkPanel(QWidget* pWindow, AreaProvider area, PlayHandler play)
    : QWidget(pWindow), m_area(std::move(area)), m_play(std::move(play)) {
    setObjectName("NetworkPanel");
    setAutoFillBackground(true);
    auto* pLayout = new QVBoxLayout(this);
    auto* pTitle = new QLabel(tr("Network"), this);
    QFont bold = pTitle->font();
    bold.setBold(true);
    pTitle->setFont(bold);
    m_pStatus = new QLabel(this);
    m_pStatus->setWordWrap(true);
    m_pTree = new QTreeWidget(this);
    m_pTree->setHeaderHidden(true);
    m_pTree->setUniformRowHeights(true);
    auto* pRefresh = new QPushButton(tr("Refresh"), this);
    pLayout->addWidget(pTitle);
    pLayout->addWidget(m_pStatus);
    pLayout->addWidget(m_pTree, 1);
    pLayout->addWidget(pRefresh);

    connect(pRefresh, &QPushButton::clicked, this, &NetworkPanel::Refresh);
    connect(m_pTree, &QTreeWidget::itemExpanded, this, &NetworkPanel::StartListing);
    connect(m_pTree, &QTreeWidget::itemActivated, this, &NetworkPanel::OnActivated);
    auto* pKey = new QShortcut(QKeySequence(Qt::Key_N), pWindow);
    connect(pKey, &QShortcut::activated, this, &NetworkPanel::Toggle);
    pWindow->installEventFilter(this);
    hide();
}

NetworkPanel::~NetworkPanel() {
    StopWorkers();
}

void NetworkPanel::SetEndpoints(unsigned port, std::vector<std::string> targets) {
    m_nPort = port;
    m_targets = std::move(targets);
}

QString NetworkPanel::StatusText() const {
    return m_pStatus->text();
}

bool NetworkPanel::eventFilter(QObject* pWatched, QEvent* event) {
    // After the window has placed its own children, which raises the video.
    if (pWatched == parent() && event->type() == QEvent::Resize && isVisible())
        QMetaObject::invokeMethod(this, &NetworkPanel::Place, Qt::QueuedConnection);
    return QWidget::eventFilter(pWatched, event);
}

void NetworkPanel::Place() {
    const QRect area = m_area ? m_area() : parentWidget()->rect();
    const int width = std::min(kPanelWidth, area.width());
    setGeometry(area.right() + 1 - width, area.top(), width, area.height());
    raise();
}

void NetworkPanel::Toggle() {
    if (isVisible()) {
        hide();
        return;
    }
    Place();
    show();
    m_pTree->setFocus();
    if (!m_bSearched)
        Refresh();
}

void NetworkPanel::StopWorkers() {
    if (m_browser)
        m_browser->Cancel();
    for (std::thread& worker : m_workers)
        worker.join();
    m_workers.clear();
}

void NetworkPanel::Refresh() {
    StopWorkers();
    ++m_nGeneration;
    m_machines.clear();
    m_pTree->clear();
    m_browser = std::make_unique<LanBrowser>(m_nPort);
    m_browser->SetTargets(m_targets);
    m_bSearching = m_bSearched = true;
    m_pStatus->setText(tr("Searching the network…"));
    const unsigned generation = m_nGeneration;
    LanBrowser* pBrowser = m_browser.get();
    m_workers.emplace_back([this, pBrowser, generation] {
        pBrowser->Discover(DISCOVERY_WINDOW_MS, [this, generation](const LanMachine& machine) {
            QMetaObject::invokeMethod(this, [this, generation, machine] { MachineFound(generation, machine); },
                                      Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(
            this, [this, generation, id = std::this_thread::get_id()] { DiscoveryDone(generation, id); },
            Qt::QueuedConnection);
    });
}

void NetworkPanel::MachineFound(unsigned generation, const LanMachine& machine) {
    if (generation != m_nGeneration || m_machines.count(machine.address))
        return;
    auto* pItem = new QTreeWidgetItem(m_pTree);
    const QString address = QString::fromStdString(machine.address);
    pItem->setText(0, machine.local ? tr("%1 (this computer)").arg(address) : address);
    pItem->setData(0, kMachineRole, address);
    pItem->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    m_machines[machine.address].pItem = pItem;
    m_pStatus->setText(tr("Searching the network… %n found", nullptr, static_cast<int>(m_machines.size())));
}

// A worker's last call: its thread is ending, so joining it costs nothing
// and an expansion that is repeated again and again holds no dead threads.
void NetworkPanel::JoinWorker(std::thread::id id) {
    auto found = std::find_if(m_workers.begin(), m_workers.end(),
                              [id](const std::thread& worker) { return worker.get_id() == id; });
    if (found == m_workers.end())
        return;  // joined already by a refresh
    found->join();
    m_workers.erase(found);
}

void NetworkPanel::DiscoveryDone(unsigned generation, std::thread::id worker) {
    JoinWorker(worker);
    if (generation != m_nGeneration)
        return;
    m_bSearching = false;
    if (m_machines.empty())
        m_pStatus->setText(tr("No sivo answered on the network (UDP port %1). Check that the other machines run "
                              "sivo and that a firewall lets UDP through, then refresh.")
                               .arg(m_nPort));
    else
        m_pStatus->setText(tr("%n machine(s) share media. Expand one to see its files.", nullptr,
                              static_cast<int>(m_machines.size())));
}

void NetworkPanel::StartListing(QTreeWidgetItem* pItem) {
    if (pItem->parent())
        return;
    const std::string address = pItem->data(0, kMachineRole).toString().toStdString();
    auto found = m_machines.find(address);
    if (found == m_machines.end() || found->second.listing || found->second.listed)
        return;
    Machine& machine = found->second;
    machine.listing = true;
    if (!machine.pPlaceholder)
        machine.pPlaceholder = new QTreeWidgetItem(pItem);
    machine.pPlaceholder->setText(0, tr(kPlaceholder));
    machine.count = 0;
    m_pStatus->setText(tr("Listing the files of %1…").arg(QString::fromStdString(address)));
    const unsigned generation = m_nGeneration;
    LanBrowser* pBrowser = m_browser.get();
    m_workers.emplace_back([this, pBrowser, generation, address] {
        const auto entries = pBrowser->ListShareFiles(address, [this, generation, address](const std::string& name) {
            QMetaObject::invokeMethod(this, [this, generation, address, name] { EntryListed(generation, address, name); },
                                      Qt::QueuedConnection);
        });
        QMetaObject::invokeMethod(
            this,
            [this, generation, address, n = entries.size(), id = std::this_thread::get_id()] {
                ListingDone(generation, address, n, id);
            },
            Qt::QueuedConnection);
    });
}

QTreeWidgetItem* NetworkPanel::Folder(Machine& machine, const std::string& path) {
    auto found = machine.folders.find(path);
    if (found != machine.folders.end())
        return found->second;
    const size_t slash = path.rfind('/');
    QTreeWidgetItem* pParent = slash == std::string::npos ? machine.pItem : Folder(machine, path.substr(0, slash));
    auto* pItem = new QTreeWidgetItem(pParent, QStringList(Shown(path.substr(slash + 1))));
    pItem->setData(0, kMachineRole, machine.pItem->data(0, kMachineRole));
    // The share root's chain of single folders opens by itself.
    if (pParent == machine.pItem || pParent->childCount() == 1)
        pItem->setExpanded(true);
    machine.folders[path] = pItem;
    return pItem;
}

void NetworkPanel::EntryListed(unsigned generation, const std::string& address, const std::string& name) {
    auto found = m_machines.find(address);
    if (generation != m_nGeneration || found == m_machines.end())
        return;
    Machine& machine = found->second;
    delete machine.pPlaceholder;
    machine.pPlaceholder = nullptr;
    const std::vector<std::string> parts = PathParts(name);
    if (parts.empty())
        return;
    const size_t folders = std::min(parts.size() - 1, kMaxFolderDepth);
    std::string folder, file;
    for (size_t i = 0; i < parts.size(); ++i)
        (i < folders ? folder : file) += (i == 0 || i == folders ? "" : "/") + parts[i];
    QTreeWidgetItem* pParent = folder.empty() ? machine.pItem : Folder(machine, folder);
    auto* pItem = new QTreeWidgetItem(pParent, QStringList(Shown(file)));
    pItem->setData(0, kMachineRole, machine.pItem->data(0, kMachineRole));
    pItem->setData(0, kNameRole, QByteArray::fromStdString(name));
    pItem->setToolTip(0, Shown(name));
    ++machine.count;
    m_pStatus->setText(tr("Listing the files of %1… %n so far", nullptr, machine.count)
                           .arg(QString::fromStdString(address)));
}

void NetworkPanel::ListingDone(unsigned generation, const std::string& address, size_t count,
                               std::thread::id worker) {
    JoinWorker(worker);
    auto found = m_machines.find(address);
    if (generation != m_nGeneration || found == m_machines.end())
        return;
    Machine& machine = found->second;
    machine.listing = false;
    // An empty answer is asked again at the next expansion.
    machine.listed = count > 0;
    if (machine.pPlaceholder)
        machine.pPlaceholder->setText(0, tr("Shares nothing, or did not answer"));
    m_pStatus->setText(tr("%1 shares %n file(s).", nullptr, machine.count).arg(QString::fromStdString(address)));
}

void NetworkPanel::OnActivated(QTreeWidgetItem* pItem) {
    const QVariant name = pItem->data(0, kNameRole);
    if (!name.isValid() || !m_play)
        return;
    m_play(pItem->data(0, kMachineRole).toString().toStdString(), name.toByteArray().toStdString());
}
