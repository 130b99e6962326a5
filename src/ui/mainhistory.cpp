// The main window's round-trip history: opened at start when the setting keeps it, fed with
// every turn's results, and a problem with it said once on the status bar while monitoring
// goes on without it.
#include <QLabel>
#include <QMetaObject>
#include <QPointer>
#include <QStatusBar>

#include "engine/global_unit.h"
#include "history/historysetting.h"
#include "history/historystore.h"
#include "ui/mainfm.h"

void Tmainform::OpenHistory() {
    const veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal == nullptr || !veltrin::HistoryEnabled(golbal->inipath)) return;
    veltrin::HistoryOptions options;
    // Told on the store's thread; the window hears it on its own.
    QPointer<Tmainform> self(this);
    options.onerror = [self](const std::string& error) {
        const QString text = QString::fromStdString(error);
        if (!self) return;
        QMetaObject::invokeMethod(
            self.data(), [self, text] {
                if (self) self->TellHistoryProblem(text);
            },
            Qt::QueuedConnection);
    };
    std::string error;
    history_ = veltrin::HistoryStore::Open(veltrin::HistoryDatabasePath(), options, &error);
    if (!history_) TellHistoryProblem(QString::fromStdString(error));
}

void Tmainform::TellHistoryProblem(const QString& text) {
    if (historytold_) return;
    historytold_ = true;
    // A label of its own: a passing status tip would wipe a status-bar message.
    auto* notice = new QLabel(QStringLiteral("No history kept: %1").arg(text), statusBar());
    notice->setObjectName(QStringLiteral("historynotice"));
    notice->setToolTip(notice->text());
    statusBar()->addWidget(notice, 1);
}

void Tmainform::Results(const std::vector<veltrin::EchoResult>& results) {
    if (history_) history_->Record(results);
}
