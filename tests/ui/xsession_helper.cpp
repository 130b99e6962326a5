#include "xsession_helper.h"

#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <xcb/xcb.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace veltrin::testing {

namespace {

bool WaitFor(const std::function<bool()>& ready, int timeoutms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutms);
    while (std::chrono::steady_clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

// True once the window manager manages new windows: a throw-away window is mapped and must show
// up in the manager's client list. Checking only that the manager announced itself is not
// enough; a window mapped while it is still starting gets reparented later, under Qt's feet.
bool WindowManagerManages(int timeoutms) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        xcb_disconnect(c);
        return false;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t w = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, w, screen->root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    xcb_map_window(c, w);
    xcb_flush(c);
    const QString id = QStringLiteral("0x%1").arg(w, 0, 16);
    const bool managed = WaitFor(
        [&] {
            const QString list = XSession::Run("xprop", {"-root", "_NET_CLIENT_LIST"});
            return list.contains(id + ",") || list.trimmed().endsWith(id);
        },
        timeoutms);
    xcb_destroy_window(c, w);
    xcb_flush(c);
    xcb_disconnect(c);
    return managed;
}

}  // namespace

XSession& SharedXSession() {
    static XSession session;
    return session;
}

XSession::~XSession() {
    // Last started first: the tray and the window manager before their server.
    for (auto it = children_.rbegin(); it != children_.rend(); ++it) {
        ::kill(*it, SIGTERM);
        int status = 0;
        for (int i = 0; i < 40; ++i) {
            if (::waitpid(*it, &status, WNOHANG) == *it) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (i == 39) {
                ::kill(*it, SIGKILL);
                ::waitpid(*it, &status, 0);
            }
        }
    }
}

pid_t XSession::Spawn(const std::vector<QByteArray>& argv, int keepfd) {
    std::vector<char*> args;
    for (const QByteArray& a : argv) args.push_back(const_cast<char*>(a.constData()));
    args.push_back(nullptr);
    // The desktop programs find their themes and settings in the system folders even when a
    // test points the XDG variables at a temporary home.
    std::vector<QByteArray> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const QByteArray entry(*e);
        if (!entry.startsWith("XDG_DATA_DIRS=")) env.push_back(entry);
    }
    const QByteArray datadirs = qgetenv("XDG_DATA_DIRS");
    env.push_back("XDG_DATA_DIRS=" + (datadirs.isEmpty() ? QByteArray() : datadirs + ":") +
                  "/usr/local/share:/usr/share");
    std::vector<char*> envp;
    for (const QByteArray& e : env) envp.push_back(const_cast<char*>(e.constData()));
    envp.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, 0);
            ::dup2(devnull, 1);
            ::dup2(devnull, 2);
        }
        if (keepfd >= 0) ::fcntl(keepfd, F_SETFD, 0);
        ::execvpe(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    if (pid > 0) children_.push_back(pid);
    return pid;
}

QString XSession::Start(const XSessionOptions& options) {
    auto fail = [this](const QString& why) {
        skipreason_ = why;
        return why;
    };
    QStringList needed = {"Xvfb", "xdotool", "xprop"};
    if (options.windowmanager) needed << "openbox";
    if (options.tray) needed << "trayer";
    for (const QString& program : needed)
        if (QStandardPaths::findExecutable(program).isEmpty())
            return fail(program + " is not installed (Debian: xvfb xdotool x11-utils openbox trayer)");

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return fail(QStringLiteral("pipe failed"));
    const QByteArray size = QByteArray::number(options.width) + "x" + QByteArray::number(options.height) + "x24";
    const pid_t server = Spawn({"Xvfb", "-displayfd", QByteArray::number(fds[1]), "-screen", "0", size, "-nolisten",
                                "tcp", "-noreset"},
                               fds[1]);
    ::close(fds[1]);
    if (server <= 0) {
        ::close(fds[0]);
        return fail(QStringLiteral("cannot start Xvfb"));
    }
    QByteArray number;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        const ssize_t n = ::read(fds[0], &c, 1);
        if (n <= 0 || c == '\n') break;
        number.push_back(c);
    }
    ::close(fds[0]);
    if (number.isEmpty()) return fail(QStringLiteral("Xvfb did not report a display"));
    display_ = QStringLiteral(":") + QString::fromLatin1(number);
    qputenv("DISPLAY", display_.toLatin1());
    qputenv("QT_QPA_PLATFORM", "xcb");
    // The tray must be the X11 one that trayer hosts, never a desktop bus service.
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/veltrin-test-bus");
    qunsetenv("WAYLAND_DISPLAY");

    if (options.windowmanager) {
        Spawn({"openbox", "--sm-disable"});
        if (!WindowManagerManages(15000)) return fail(QStringLiteral("openbox did not come up"));
    }
    if (options.tray) {
        Spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
               "--SetDockType", "true", "--transparent", "false", "--expand", "true"});
        const bool up =
            WaitFor([] { return Run("xdotool", {"search", "--classname", "trayer"}).trimmed().size() > 0; }, 15000);
        if (!up) return fail(QStringLiteral("trayer did not come up"));
    }
    ok_ = true;
    return {};
}

QString XSession::Run(const QString& program, const QStringList& arguments, int* exitcode) {
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished(1000);
        if (exitcode) *exitcode = -1;
        return {};
    }
    if (exitcode) *exitcode = p.exitCode();
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

bool XSession::Detached(const QString& program, const QStringList& arguments) {
    return QProcess::startDetached(program, arguments);
}

QRect XSession::WindowRect(unsigned long window) {
    const QString out = Run("xwininfo", {"-id", QString::number(window)});
    auto field = [&out](const char* label) {
        const int at = out.indexOf(QLatin1String(label));
        if (at < 0) return -1;
        return out.mid(at + static_cast<int>(qstrlen(label))).section('\n', 0, 0).trimmed().toInt();
    };
    return QRect(field("Absolute upper-left X:"), field("Absolute upper-left Y:"), field("Width:"), field("Height:"));
}

std::vector<unsigned long> XSession::StackingOrder() {
    // "_NET_CLIENT_LIST_STACKING(WINDOW): window id # 0x400003, 0x600001"
    const QString out = Run("xprop", {"-root", "_NET_CLIENT_LIST_STACKING"});
    std::vector<unsigned long> ids;
    const int hash = out.indexOf('#');
    if (hash < 0) return ids;
    for (const QString& part : out.mid(hash + 1).split(',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const unsigned long id = part.trimmed().toULong(&ok, 0);
        if (ok) ids.push_back(id);
    }
    return ids;
}

}  // namespace veltrin::testing
