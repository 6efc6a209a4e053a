#include "app/sivo.h"

#include "app/QuitSignals.h"
#include "app/sivoDlg.h"

#include <QApplication>
#include <QDialog>

#include <climits>
#include <csignal>
#include <unistd.h>

CSivoApp theApp;

namespace {
// Longest executable path read; a longer one is cut.
constexpr size_t kModulePathSize = PATH_MAX;
} // namespace

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

CSivoApp::CSivoApp() = default;
CSivoApp::~CSivoApp() = default;

bool CSivoApp::InitInstance(const std::string& startFile, bool fullScreen) {
    // Sockets: a peer that goes away must not end the process with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);

    char module[kModulePathSize] = {};
    const ssize_t length = readlink("/proc/self/exe", module, sizeof module - 1);
    m_strAppPath = DirectoryOf(length > 0 ? std::string(module, static_cast<size_t>(length)) : std::string());

    // Before the dialog starts the audio thread, whose library would otherwise
    // take these signals for itself.
    CQuitSignals quitSignals;
    CSivoDlg dlg(m_strAppPath);
    QObject::connect(&quitSignals, &CQuitSignals::Raised, &dlg, [&dlg] {
        // A dialog open over the window (file chooser, About) goes first, so
        // the window's own loop can end.
        for (QWidget* pWidget : QApplication::topLevelWidgets())
            if (auto* pDialog = qobject_cast<QDialog*>(pWidget); pDialog && pDialog != &dlg && pDialog->isVisible())
                pDialog->reject();
        dlg.reject();
    });
    dlg.InitDialog();
    if (fullScreen)
        dlg.SetFullScreen(true);
    if (!startFile.empty())
        dlg.OpenMedia(startFile);
    dlg.DoModal();
    return false;
}
