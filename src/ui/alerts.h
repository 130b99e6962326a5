// Alerts when hosts stop answering and when they answer again: a desktop notification through
// the freedesktop notification service, and optionally a mail to the report's recipients.
// Changes that arrive within a second of each other make one alert ("12 hosts stopped
// answering"); mails go out at most once a minute, each carrying every change since the last.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QString>
#include <QStringList>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/u_header.h"
#include "monitor/rowstatus.h"

class QTimer;

namespace veltrin {

class Alerts : public QObject {
    Q_OBJECT

  public:
    explicit Alerts(QObject* parent = nullptr);
    ~Alerts() override;  // waits for a mail on its way

    void SetNotify(bool on) { notify_ = on; }
    void SetMail(bool on) { mail_ = on; }
    bool NotifyOn() const { return notify_; }
    bool MailOn() const { return mail_; }
    // The mail settings at the moment a mail goes out (the report's server and recipients).
    void SetMailSettings(std::function<Tmailsetting()> settings) { mailsettings_ = std::move(settings); }
    // Sends one mail; runs on a thread of its own. Default: the report's SendMail.
    void SetMailSender(std::function<std::string(const Tmailsetting&)> sender) { sender_ = std::move(sender); }
    // Used only when no session bus is there to reach the notification service.
    void SetTray(QSystemTrayIcon* tray) { tray_ = tray; }
    // Tests shorten the waits.
    void SetCoalesceMs(int ms);
    void SetMailGapMs(int ms) { mailgapms_ = ms; }

    // The monitor's state changes, on the window thread.
    void Changes(const std::vector<StateChange>& changes);
    // Ends the current burst now (the coalescing timer does this a second after its first change).
    void Flush();

    // What one burst says: summary and body lines.
    struct Message {
        QString summary;
        QStringList lines;
    };
    // The message for hosts that all went `down` (or all came back): `names` the rows' texts,
    // `details` one line each on the new state.
    static Message Compose(const QStringList& names, const QStringList& details, bool down);

  signals:
    void notified(const QString& summary, const QString& body);
    void mailDone(const QString& result);

  private:
    struct Pending {
        int row = -1;
        QString address;
        QString ip;
        RowStatus last;  // the row's status after its latest change of this kind
    };
    void Notify(const Message& message, bool down);
    void QueueMail(const Message& message);
    void TrySendMail();
    void MailFinished(const QString& result);

    bool notify_ = true;
    bool mail_ = false;
    std::function<Tmailsetting()> mailsettings_;
    std::function<std::string(const Tmailsetting&)> sender_;
    QPointer<QSystemTrayIcon> tray_;

    std::vector<Pending> downs_;  // rows that stopped answering in this burst
    std::vector<Pending> ups_;    // rows that answer again
    bool downsfirst_ = true;
    QTimer* burst_ = nullptr;

    int mailgapms_ = 60000;
    QStringList mailsummaries_;
    QStringList maillines_;
    QTimer* mailtimer_ = nullptr;
    QElapsedTimer lastmail_;
    bool mailbusy_ = false;
    std::thread mailthread_;
};

}  // namespace veltrin
