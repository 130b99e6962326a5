// The main window's side of "one program per user": what a later start hands over.
#include <QFileInfo>

#include "ui/dialogs.h"
#include "ui/mainfm.h"

void Tmainform::TakeHandedFiles(const QStringList& files) {
    // While the close sequence mails, the window is gone for good; nothing more is taken.
    if (MailingOnClose()) return;
    // The user started the program again to see it: out of the tray and to the front first, so
    // a notice about a file appears over the window it concerns.
    RestoreFromTray();
    for (const QString& path : files) {
        const QFileInfo file(path);
        if (!file.exists() || file.isDir()) {
            veltrin::ShowNotice(this, QStringLiteral("Address file is lost: %1").arg(path));
            continue;
        }
        const QString problem = ImportProblem(file.filePath());
        if (!problem.isEmpty()) veltrin::ShowNotice(this, problem);
    }
    RequestPaint();
}
