#include "platform/MessageThread.h"

#include "platform/Trace.h"
#include "platform/ThreadName.h"

CMessageThread::~CMessageThread() {
    // Last resort; derived classes end the thread themselves.
    if (m_thread.joinable()) {
        PostThreadMessage(WM_QUIT);
        m_thread.join();
    }
}

int CMessageThread::CreateThread(const char* name) {
    if (m_thread.joinable())
        return -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.clear();
        m_bBusy = false;
    }
    m_bQuit = false;
    m_nExitCode = 0;
    m_bRunning = true;
    m_thread = std::thread(&CMessageThread::Run, this);
    NameThread(m_thread, name);
    return 0;
}

bool CMessageThread::PostThreadMessage(uint32_t message, uintptr_t wParam, uintptr_t lParam) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_bRunning)
            return false;
        m_queue.push_back(ThreadMessage{message, wParam, lParam});
    }
    m_wake.notify_one();
    return true;
}

bool CMessageThread::IsIdle() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.empty() && !m_bBusy;
}

bool CMessageThread::EndThread(int waitMs) {
    if (!m_thread.joinable())
        return true;
    PostThreadMessage(WM_QUIT);
    const bool inTime = m_ended.WaitFor(waitMs, [this] { return !m_bRunning; });
    if (!inTime)
        DebugTrace("message thread did not end within %d ms\r\n", waitMs);
    m_thread.join();
    return inTime;
}

void CMessageThread::PostQuitMessage(int exitCode) {
    m_nExitCode = exitCode;
    m_bQuit = true;
}

void CMessageThread::Run() {
    if (InitInstance()) {
        while (!m_bQuit) {
            ThreadMessage msg;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_queue.empty(); });
                msg = m_queue.front();
                m_queue.pop_front();
                m_bBusy = msg.message != WM_QUIT;
            }
            if (msg.message == WM_QUIT)
                break;
            OnMessage(msg);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bBusy = false;
        }
    }
    ExitInstance();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.clear();
    m_bBusy = false;
    m_bRunning = false;
    m_ended.Wake();
}
