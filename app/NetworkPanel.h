#pragma once
#include "share/LanBrowser.h"

#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// The "Network" panel: the machines on the LAN that answer on the control
// port, each expandable into the folder tree of what it shares; activating a
// file (double-click or Enter) plays it from that machine. It lies over the
// right part of the video area and is toggled with the N key.
//
// Threads: a widget of the UI thread. Discovery and each listing run on
// worker threads of the panel, which hand every result to the UI thread by a
// queued call; the panel joins each as it reports its end, and all of them
// on refresh and destruction.
class NetworkPanel : public QWidget {
    Q_OBJECT
public:
    using PlayHandler = std::function<void(const std::string& address, const std::string& name)>;
    using AreaProvider = std::function<QRect()>;

    // pWindow: the window it lies in (and whose N key toggles it); area: the
    // part of the window it may cover.
    NetworkPanel(QWidget* pWindow, AreaProvider area, PlayHandler play);
    ~NetworkPanel() override;

    // Where requests go (tests); empty targets mean every broadcast address.
    void SetEndpoints(unsigned port, std::vector<std::string> targets);

    // Shows the panel (searching when nothing was found yet) or hides it.
    void Toggle();
    // Forgets every machine and catalogue and searches again.
    void Refresh();

    bool Searching() const { return m_bSearching; }
    QString StatusText() const;
    QTreeWidget* Tree() const { return m_pTree; }

protected:
    bool eventFilter(QObject* pWatched, QEvent* event) override;

private:
    struct Machine {
        QTreeWidgetItem* pItem = nullptr;
        QTreeWidgetItem* pPlaceholder = nullptr;  // "listing" or "nothing", until an entry arrives
        bool listing = false;
        bool listed = false;
        int count = 0;  // files listed so far
        std::map<std::string, QTreeWidgetItem*> folders;  // by path
    };

    void Place();
    void StopWorkers();
    void StartListing(QTreeWidgetItem* pItem);
    // Results, on the UI thread; stale ones (an older refresh) are dropped.
    void MachineFound(unsigned generation, const LanMachine& machine);
    void DiscoveryDone(unsigned generation, std::thread::id worker);
    void EntryListed(unsigned generation, const std::string& address, const std::string& name);
    void ListingDone(unsigned generation, const std::string& address, size_t count, std::thread::id worker);
    void JoinWorker(std::thread::id id);
    void OnActivated(QTreeWidgetItem* pItem);
    QTreeWidgetItem* Folder(Machine& machine, const std::string& path);

    AreaProvider m_area;
    PlayHandler m_play;
    QLabel* m_pStatus = nullptr;
    QTreeWidget* m_pTree = nullptr;
    unsigned m_nPort = UDP_CONTROL_PORT;
    std::vector<std::string> m_targets;
    std::unique_ptr<LanBrowser> m_browser;
    std::vector<std::thread> m_workers;
    unsigned m_nGeneration = 0;
    bool m_bSearching = false;
    bool m_bSearched = false;
    std::map<std::string, Machine> m_machines;
};
