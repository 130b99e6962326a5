#include "platform/traceroute.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace veltrin {

namespace {

// Host names and dotted addresses are short; a longer row text is cut rather than passed on.
constexpr int kMaxTarget = 255;

QString FindProgram(const QString& nameorpath) {
    if (nameorpath.isEmpty()) return {};
    if (nameorpath.contains(QLatin1Char('/'))) {
        const QFileInfo info(nameorpath);
        return info.isFile() && info.isExecutable() ? info.absoluteFilePath() : QString();
    }
    return QStandardPaths::findExecutable(nameorpath);
}

// What goes between the terminal and the command it should run.
QStringList ExecuteOption(const QString& terminal) {
    const QString base = QFileInfo(terminal).fileName();
    if (base == QLatin1String("gnome-terminal") || base == QLatin1String("mate-terminal") ||
        base == QLatin1String("tilix"))
        return {QStringLiteral("--")};
    if (base == QLatin1String("kitty") || base == QLatin1String("foot")) return {};
    if (base == QLatin1String("xfce4-terminal") || base == QLatin1String("terminator"))
        return {QStringLiteral("-x")};
    return {QStringLiteral("-e")};
}

QString FindTerminal() {
    for (const char* var : {"VELTRIN_TERMINAL", "TERMINAL"}) {
        const QString value = qEnvironmentVariable(var).trimmed();
        if (value.isEmpty()) continue;
        const QString found = FindProgram(value);
        if (!found.isEmpty()) return found;
    }
    for (const char* name : {"x-terminal-emulator", "gnome-terminal", "konsole", "xfce4-terminal", "mate-terminal",
                             "lxterminal", "terminator", "tilix", "alacritty", "kitty", "foot", "urxvt", "xterm"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty()) return found;
    }
    return {};
}

QString FindTracer() {
    const QString chosen = qEnvironmentVariable("VELTRIN_TRACEROUTE").trimmed();
    if (!chosen.isEmpty()) return FindProgram(chosen);
    for (const char* name : {"traceroute", "tracepath"}) {
        const QString found = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!found.isEmpty()) return found;
    }
    return {};
}

}  // namespace

QString TraceRouteTarget(const QString& rowtext) {
    QString text = rowtext.trimmed();
    if (text.startsWith(QLatin1String("HTTP://"), Qt::CaseInsensitive)) {
        text = text.mid(7);
        const int slash = text.indexOf(QLatin1Char('/'));
        if (slash >= 0) text.truncate(slash);
    }
    return text.left(kMaxTarget);
}

TraceRouteCommand BuildTraceRoute(const QString& rowtext) {
    TraceRouteCommand command;
    const QString target = TraceRouteTarget(rowtext);
    if (target.isEmpty()) {
        command.missing = QStringLiteral("no address");
        return command;
    }
    const QString tracer = FindTracer();
    if (tracer.isEmpty()) {
        command.missing = QStringLiteral("no trace route program (traceroute or tracepath)");
        return command;
    }
    const QString terminal = FindTerminal();
    if (terminal.isEmpty()) {
        command.missing = QStringLiteral("no terminal emulator");
        return command;
    }
    command.program = terminal;
    command.arguments = ExecuteOption(terminal);
    // "--" ends the tracer's options: a row such as "-F..." is then a host name to it, never
    // an option, whatever the text holds.
    command.arguments << tracer << QStringLiteral("--") << target;
    return command;
}

bool StartTraceRoute(const QString& rowtext) {
    const TraceRouteCommand command = BuildTraceRoute(rowtext);
    if (command.program.isEmpty()) return false;
    QProcess process;
    process.setProgram(command.program);
    process.setArguments(command.arguments);
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}

}  // namespace veltrin
