// The program: engine start-up, the windows and their message loop, engine shutdown.
#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "engine/global_unit.h"
#include "engine/privileges.h"
#include "ui/aboutfm.h"
#include "ui/mainfm.h"
#include "ui/pictures.h"

namespace {

// The desktop program: the main window runs its start-up (ending with Start) and the event loop
// runs until the close sequence or an exit command ends the application.
int RunWindows(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veltrin Ping Utility"));
    QApplication::setWindowIcon(veltrin::AppIcon());
    // Hiding the main window into the tray must not end the program; only the close sequence
    // and the exit commands do.
    QApplication::setQuitOnLastWindowClosed(false);

    QStringList arguments = QApplication::arguments();
    if (!arguments.isEmpty()) arguments.removeFirst();  // the program itself

    Tmainform mainform(arguments);
    mainform.show();
    // One about box is made, hidden, at program start, owned by the main window.
    new Taboutform(&mainform);
    return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread or window: a process that may ping through a raw socket keeps only
    // that right, any other keeps none.
    veltrin::KeepOnlyNetRaw();
    // Options that must work without a display are settled before any Qt object exists.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(veltrin::UsageText(), stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("veltrin-ping %s\n", VELTRIN_VERSION);
            return 0;
        }
    }
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--console") == 0) return veltrin::RunConsole(argc, argv);

    veltrin::EngineStartup();
    const int result = RunWindows(argc, argv);
    veltrin::EngineShutdown();
    return result;
}
