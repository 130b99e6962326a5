// The program: engine start-up, the windows and their message loop, engine shutdown.
#include <QApplication>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "cli/console.h"
#include "engine/global_unit.h"
#include "engine/privileges.h"
#include "ui/aboutfm.h"
#include "ui/mainfm.h"
#include "ui/pictures.h"
#include "ui/singleinstance.h"

namespace {

// Qt's own command-line options (single or double dash), which QApplication takes out of the
// list before the window sees it; the second flag says whether a value follows.
struct QtOption {
    const char* name;
    bool takesvalue;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true},     {"platformpluginpath", true}, {"platformtheme", true}, {"plugin", true},
    {"qwindowgeometry", true}, {"qwindowicon", true},     {"qwindowtitle", true},  {"reverse", false},
    {"session", true},      {"display", true},            {"name", true},          {"title", true},
    {"visual", true},       {"geometry", true},           {"style", true},         {"stylesheet", true},
    {"widgetcount", false}, {"nograb", false},            {"dograb", false},       {"sync", false},
};

// The window takes one optional .spl file and Qt's options; anything else starting with a dash
// is a mistake the user should hear about rather than have ignored. Returns the offending
// argument, or null.
const char* UnknownWindowOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) return nullptr;  // file names follow
        if (arg[0] != '-' || arg[1] == '\0') continue;
        const char* name = arg + (arg[1] == '-' ? 2 : 1);
        const char* eq = std::strchr(name, '=');
        const std::size_t length = eq != nullptr ? static_cast<std::size_t>(eq - name) : std::strlen(name);
        bool known = false;
        for (const QtOption& option : kQtOptions) {
            if (std::strlen(option.name) != length || std::strncmp(option.name, name, length) != 0) continue;
            known = true;
            if (option.takesvalue && eq == nullptr) ++i;
            break;
        }
        if (std::strncmp(name, "qmljsdebugger", 13) == 0) known = true;
        if (!known) return arg;
    }
    return nullptr;
}

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

    // One window program per user: a program already running takes this start's address file
    // (named as this start sees it) and comes to the front; this start then ends.
    QStringList files;
    for (const QString& argument : arguments)
        if (!argument.startsWith(QLatin1Char('-')) || QFileInfo::exists(argument))
            files << QFileInfo(argument).absoluteFilePath();
    veltrin::InstanceServer instance(veltrin::InstanceSocketName());
    if (veltrin::StartOrHandOver(files, instance)) return 0;

    Tmainform mainform(arguments);
    QObject::connect(&instance, &veltrin::InstanceServer::filesArrived, &mainform,
                     [&mainform](const QStringList& handed) { mainform.TakeHandedFiles(handed); });
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
    if (const char* unknown = UnknownWindowOption(argc, argv)) {
        std::fprintf(stderr, "veltrin-ping: unknown option \"%s\"\n", unknown);
        std::fputs(veltrin::UsageText(), stderr);
        return veltrin::kExitUsage;
    }

    veltrin::EngineStartup();
    const int result = RunWindows(argc, argv);
    veltrin::EngineShutdown();
    return result;
}
