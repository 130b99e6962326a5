#include "ui/alerts.h"

#include <QCoreApplication>
#include <algorithm>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVariantMap>

#include "engine/global_unit.h"
#include "settings/mailreport.h"
#include "ui/addresslistmodel.h"

namespace veltrin {

namespace {

constexpr int kListedHosts = 10;  // a notification names this many, then "and N more"

QString FromStd(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

bool IsDown(RowState from, RowState to) {
    return to == RowState::NotAnswering && from != RowState::NotAnswering;
}

}  // namespace

Alerts::Alerts(QObject* parent) : QObject(parent) {
    burst_ = new QTimer(this);
    burst_->setSingleShot(true);
    burst_->setInterval(1000);
    connect(burst_, &QTimer::timeout, this, &Alerts::Flush);
    mailtimer_ = new QTimer(this);
    mailtimer_->setSingleShot(true);
    connect(mailtimer_, &QTimer::timeout, this, &Alerts::TrySendMail);
    sender_ = [](const Tmailsetting& mail) { return SendMail(mail); };
}

Alerts::~Alerts() {
    if (mailthread_.joinable()) mailthread_.join();
}

void Alerts::SetCoalesceMs(int ms) {
    burst_->setInterval(ms);
}

void Alerts::Changes(const std::vector<StateChange>& changes) {
    for (const StateChange& change : changes) {
        const bool down = IsDown(change.from, change.to);
        const bool up = change.from == RowState::NotAnswering && change.to == RowState::Answering;
        if (!down && !up) continue;  // no news for anyone
        // A host that went down and came back within the burst is told both: it was away.
        std::vector<Pending>& kind = down ? downs_ : ups_;
        if (kind.empty() && (down ? ups_ : downs_).empty()) downsfirst_ = down;
        const QString address = FromStd(change.address);
        auto it = std::find_if(kind.begin(), kind.end(),
                               [&](const Pending& p) { return p.row == change.row && p.address == address; });
        if (it == kind.end()) {
            kind.push_back(Pending{change.row, address, QString(), RowStatus{}});
            it = kind.end() - 1;
        }
        it->ip = FromStd(change.ip);
        it->last = change.status;
        it->last.state = change.to;
    }
    if ((!downs_.empty() || !ups_.empty()) && !burst_->isActive()) burst_->start();
}

Alerts::Message Alerts::Compose(const QStringList& names, const QStringList& details, bool down) {
    Message m;
    const qsizetype n = names.size();
    if (n == 1)
        m.summary = down ? QStringLiteral("%1 stopped answering").arg(names.first())
                         : QStringLiteral("%1 is answering again").arg(names.first());
    else
        m.summary = down ? QStringLiteral("%1 hosts stopped answering").arg(n)
                         : QStringLiteral("%1 hosts are answering again").arg(n);
    m.lines = details;
    return m;
}

void Alerts::Flush() {
    burst_->stop();
    // In the order the burst began with, so the last word matches where the hosts are now.
    for (bool down : {downsfirst_, !downsfirst_}) {
        std::vector<Pending>& kind = down ? downs_ : ups_;
        if (kind.empty()) continue;
        QStringList names, details;
        for (const Pending& p : kind) {
            QString detail = p.address;
            if (!p.ip.isEmpty() && p.ip != p.address) detail += QStringLiteral(" (%1)").arg(p.ip);
            detail += QStringLiteral(": ") + StateLine(p.last);
            names << p.address;
            details << detail;
        }
        kind.clear();
        const Message m = Compose(names, details, down);
        if (notify_) Notify(m, down);
        if (mail_) QueueMail(m);
    }
    if (mail_) TrySendMail();
}

void Alerts::Notify(const Message& message, bool down) {
    QStringList shown = message.lines.mid(0, kListedHosts);
    if (message.lines.size() > kListedHosts)
        shown << QStringLiteral("and %1 more").arg(message.lines.size() - kListedHosts);
    const QString body = shown.join(QLatin1Char('\n'));
    emit notified(message.summary, body);

    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (tray_ && tray_->isVisible())
            tray_->showMessage(message.summary, body,
                               down ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
        return;
    }
    QDBusMessage call =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                       QStringLiteral("/org/freedesktop/Notifications"),
                                       QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(down ? 2 : 1));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("veltrin-ping"));
    // Servers that read markup in the body would take a host name like "a<b" for a tag.
    call << QStringLiteral("Veltrin Ping") << 0u
         << (down ? QStringLiteral("network-offline") : QStringLiteral("network-idle")) << message.summary
         << body.toHtmlEscaped() << QStringList() << hints << -1;
    // Asynchronous: a slow or missing service never holds up the window.
    bus.asyncCall(call);
}

void Alerts::QueueMail(const Message& message) {
    mailsummaries_ << message.summary;
    if (!maillines_.isEmpty()) maillines_ << QString();
    maillines_ << message.summary << message.lines;
}

void Alerts::TrySendMail() {
    if (mailbusy_ || maillines_.isEmpty() || !mail_) return;
    if (lastmail_.isValid() && lastmail_.elapsed() < mailgapms_) {
        if (!mailtimer_->isActive()) mailtimer_->start(static_cast<int>(mailgapms_ - lastmail_.elapsed()));
        return;
    }
    Tmailsetting mail;
    if (mailsettings_) mail = mailsettings_();
    mail.subject = (mailsummaries_.size() == 1 ? mailsummaries_.first()
                                               : QStringLiteral("%1 and %2 more changes")
                                                     .arg(mailsummaries_.first())
                                                     .arg(mailsummaries_.size() - 1))
                       .toStdString();
    std::vector<std::string> lines;
    for (const QString& line : maillines_) lines.push_back(line.toStdString());
    mail.emailtext = JoinCommaText(lines);
    mailsummaries_.clear();
    maillines_.clear();

    if (mailthread_.joinable()) mailthread_.join();  // finished: mailbusy_ is false
    mailbusy_ = true;
    lastmail_.start();
    QPointer<Alerts> self(this);
    mailthread_ = std::thread([self, mail, sender = sender_] {
        std::string result;
        try {
            result = sender(mail);
        } catch (...) {
            result = "The mail could not be sent";
        }
        const QString text = FromStd(result);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [self, text] { if (self) self->MailFinished(text); }, Qt::QueuedConnection);
    });
}

void Alerts::MailFinished(const QString& result) {
    mailbusy_ = false;
    emit mailDone(result);
    TrySendMail();  // changes that came while it was on its way
}

}  // namespace veltrin
