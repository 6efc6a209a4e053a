#pragma once
#include "app/sivoDlg.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// Records what the window asks of the engine, and answers position and duration.
class RecordingEntries : public SivoEntries {
public:
    void LocalPlay(const char* path) override { localPlays.push_back(path); }
    void Play() override { ++plays; }
    void Pause() override { ++pauses; }
    void Stop() override { ++stops; }
    void Seek(int seconds) override { seeks.push_back(seconds); }
    int GetPosition() override { return position; }
    int GetDuration() override { return duration; }
    void RemotePlay(const char* address, const char* name) override { remotePlays.emplace_back(address, name); }
    void StopAll() override { ++stopAlls; }

    std::vector<std::string> localPlays;
    std::vector<int> seeks;
    std::vector<std::pair<std::string, std::string>> remotePlays;
    int plays = 0, pauses = 0, stops = 0, stopAlls = 0;
    int position = 0, duration = 0;
};

constexpr auto kWindowEventWait = std::chrono::seconds(10);

// Runs the event loop until `done` holds or the wait ends.
inline bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kWindowEventWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A window over a private application directory whose Skin is the tree's
// skin (or none), with its channels on private endpoints.
class WindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/sivo-window-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override {
        m_dlg.reset();
        std::filesystem::remove_all(m_dir);
    }

    void LinkSkin() {
        std::filesystem::create_directory_symlink(std::string(SIVO_SOURCE_DIR) + "/skin", m_dir + "/Skin");
    }

    CSivoDlg& Open(unsigned sharePeerPort = UDP_PEER_PORT) {
        m_dlg = std::make_unique<CSivoDlg>(m_dir);
        auto entries = std::make_unique<RecordingEntries>();
        m_entries = entries.get();
        m_dlg->SetEntries(std::move(entries));
        m_dlg->SetEndpoints(0, CopyDataSocket(), sharePeerPort);
        EXPECT_TRUE(m_dlg->InitDialog());
        return *m_dlg;
    }

    std::string CopyDataSocket() const { return m_dir + "/copydata"; }

    std::string m_dir;
    std::unique_ptr<CSivoDlg> m_dlg;
    RecordingEntries* m_entries = nullptr;
};
