// Makes the setup dialog the document's dialog runner while the module is loaded.
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "config/doc.h"
#include "setup/setupdlg.h"
#include "tarvosub/ui.h"

namespace {

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

int RunSetupDialog(CQuorixDoc& doc) {
    // A host without a GUI of its own gets an application object for the dialog's duration;
    // without any display Qt would abort the whole host, so refuse instead.
    std::unique_ptr<QApplication> ownApp;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        if (!HasDisplay()) {
            std::fputs("Quorix setup: no display (DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM)\n",
                       stderr);
            return 0;
        }
        static int argc = 1;
        static char arg0[] = "Quorix";
        static char* argv[] = {arg0, nullptr};
        ownApp = std::make_unique<QApplication>(argc, argv);
    } else if (!qobject_cast<QApplication*>(app)) {
        std::fputs("Quorix setup: the host's application object cannot show widgets\n", stderr);
        return 0;
    }
    bool ownBoxes = TarvoInstallGuiBoxes();
    int saved = 0;
    {
        CSetupDlg dlg(&doc);
        dlg.exec();
        saved = dlg.IsSaved();
    }
    if (ownBoxes) TarvoRemoveGuiBoxes();
    return saved;
}

struct CSetupRegistration {
    CSetupRegistration() { CQuorixDoc::SetDialogRunner(RunSetupDialog); }
    ~CSetupRegistration() { CQuorixDoc::SetDialogRunner({}); }
};

CSetupRegistration gRegistration;

}  // namespace
