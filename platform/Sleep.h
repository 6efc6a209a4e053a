#pragma once

// Waiting in this program is by polling with short sleeps of fixed length.
// Sleep(ms) waits at least ms and at most about 1 ms more, like a sleep
// counted in timer ticks: the kernel may then wake many polling threads (and
// processes) from one timer interrupt. Any thread; the first call raises the
// calling thread's timer slack for good, and threads it starts inherit it.
void Sleep(int milliseconds);
// Waits ms with the process's default timer slack (microseconds), for pauses
// whose length is a protocol's pace: 5 ms must not become 6.
void SleepExact(int milliseconds);

// Restores the process's default timer slack on the calling thread while it
// lives. For starting a library thread that paces itself by sleeping, such as
// an audio device thread, which must not run late.
class DefaultTimerSlack {
public:
    DefaultTimerSlack();
    ~DefaultTimerSlack();
    DefaultTimerSlack(const DefaultTimerSlack&) = delete;
    DefaultTimerSlack& operator=(const DefaultTimerSlack&) = delete;

private:
    int m_nSaved;
};
