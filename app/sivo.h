#pragma once
#include <string>

// The application object: prepares the process, records the directory of the
// executable and runs the main window modally. All long-lived work belongs to
// the window.
//
// Threads: the main (UI) thread only; a QApplication must exist before
// InitInstance.
class CSivoApp {
public:
    CSivoApp();
    ~CSivoApp();

    // Runs the main window until it closes; with startFile, plays it once the
    // window is up; with fullScreen, on the whole screen. Always false: there
    // is no further message loop.
    bool InitInstance(const std::string& startFile = std::string(), bool fullScreen = false);

    // Directory of the executable, without a trailing slash.
    std::string m_strAppPath;
};

// The directory part of a path: everything before the last slash; empty when
// the path has none.
std::string DirectoryOf(const std::string& path);

extern CSivoApp theApp;
