// The detail window: pings one address on its own sender and receiver, lists every reply with
// its arrival time, keeps the counters the statistics worker turns into label texts, and keeps
// the last accepted datagram for the ICMP info window.
#pragma once

#include <QEvent>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/u_header.h"
#include "monitor/detailstat.h"
#include "ui/rtttrace.h"

class QLabel;
class QLayout;
class QPushButton;
class QStatusBar;
class QTableView;
class QTimer;
class Tinfoform;

namespace veltrin {
class HandOver;
struct SendTarget;
class tsendthread;
class trecvthread;
class tcalculate;
class EchoLedger;
class RttGraph;
struct ReplyCheck;
class PaintCoalescer;
class ExposeWatch;
}  // namespace veltrin

// Posted to the detail window when it is opened or re-targeted: empties its list.
inline constexpr QEvent::Type WM_DETAILCLEAR = static_cast<QEvent::Type>(2031);

// What the detail window needs from the window that opens it.
struct DetailHost {
    std::function<QString()> intervaltext;    // the ping-interval field's current text
    std::function<void(bool)> setdetailopen;  // the opener's "a detail window is open" flag
    // Kept minutes of an address from earlier runs, for the graph's long views (may be empty).
    std::function<std::vector<veltrin::RttTrace::Minute>(const QString& address, std::int64_t sincems,
                                                         std::int64_t untilms)>
        minutes;
};

class DetailRowsModel;

class Tdetailform : public QWidget {
    Q_OBJECT
public:
    // The workers hand their window-thread steps to `handover`, which must outlive the window.
    Tdetailform(QWidget* owner, veltrin::HandOver& handover, DetailHost host);
    ~Tdetailform() override;

    const QString& pingaddress() const { return pingaddress_; }
    void setPingaddress(const QString& address) { pingaddress_ = address; }

    // Closes for good: stops and joins the workers, clears the opener's flag, hides and
    // deletes itself later. Safe to call more than once.
    void CloseDetail();
    bool IsClosed() const { return closed_; }
    bool WorkersStarted() const { return started_; }

    // Window-thread state, read by the info window and by tests.
    const veltrin::Tdetailstat& detailstat() const { return stat_; }
    const veltrin::ReceiveBuffer& lastraw() const { return lastraw_; }
    const veltrin::Tdecordbuf& lastreply() const { return lastreply_; }
    std::vector<veltrin::AddressRow> Rows() const;
    std::uint16_t SenderIdentifier() const;

    // Coalesces reloads of the shown values into one pass on the next turn of the event loop.
    void SchedulePaint();
    void FormPaint();

    // Command handlers.
    void Button1Click();   // "Clear"
    void Button2Click();   // "Save log"
    void Button3Click();   // "Detail Info"
    void closebtnClick();  // "Close"
    void Timer1Timer();    // periodic automatic save

    // Controls, under the names the window's code and tests use.
    QLabel *dom = nullptr, *ipaddr = nullptr, *location = nullptr, *aspeed = nullptr;
    QLabel *psize = nullptr, *sent = nullptr, *received = nullptr, *lost = nullptr;
    QLabel *Minum = nullptr, *Maxum = nullptr, *Average = nullptr;
    QTableView* listv1 = nullptr;
    QPushButton *Button1 = nullptr, *Button2 = nullptr, *Button3 = nullptr, *closebtn = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QTimer* Timer1 = nullptr;
    veltrin::RttGraph* graph = nullptr;  // round trips over time

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    // The constructor's parts, top to bottom.
    QLabel* MakeLabel(const char* name, const QString& text);
    QWidget* BuildGeneralGroup(QWidget* parent);     // dom, ipaddr, location, aspeed
    QWidget* BuildStatisticsGroup(QWidget* parent);  // psize, sent/received/lost, Minum/Maxum/Average
    void BuildReplyList();                           // listv1 on its model
    QLayout* BuildButtons();                         // Clear, Save log, Detail Info, Close
    void StartSaveTimer();                           // Timer1: the periodic automatic save

    void StartWorkers();
    void StopWorkers();
    // Worker steps, all on the window thread.
    bool PickTarget(veltrin::SendTarget& target);
    void AcceptReply(const std::uint8_t* raw, int length, const veltrin::Tdecordbuf& reply);
    void SetStatisticsLabels(const std::array<std::string, 8>& texts);
    void CountSends();  // counts the echoes recorded since the last call as sent
    void GraphReply(const veltrin::ReplyCheck& check);
    void GraphLosses();  // echoes past their time-out become the graph's loss marks
    void RetargetGraph();

    veltrin::HandOver& handover_;
    DetailHost host_;
    QString pingaddress_;
    veltrin::Tdetailstat stat_;
    veltrin::ReceiveBuffer lastraw_{};
    veltrin::Tdecordbuf lastreply_;
    DetailRowsModel* rows_ = nullptr;
    veltrin::PaintCoalescer* paint_ = nullptr;
    veltrin::ExposeWatch* expose_ = nullptr;
    QPointer<Tinfoform> info_;  // the open ICMP info window, if any
    QString savepath_;          // the save dialog's last name
    QTimer* losstimer_ = nullptr;
    bool started_ = false;
    bool closed_ = false;
    bool autologfailtold_ = false;  // a failed automatic log was reported; cleared by a success
    bool cyclecounted_ = false;  // the current send cycle is already counted as sent
    std::unique_ptr<veltrin::tsendthread> sender_;
    std::unique_ptr<veltrin::trecvthread> receiver_;
    std::unique_ptr<veltrin::tcalculate> calculate_;
    std::unique_ptr<veltrin::EchoLedger> ledger_;  // this window's echoes: only their replies count
};

// The opening rule shared by every opener: re-targets the open detail window owned by `owner`
// when `detailopen` is true, otherwise creates and shows a new one. Returns the window.
Tdetailform* OpenDetailWindow(QWidget* owner, veltrin::HandOver& handover, const DetailHost& host, bool detailopen,
                              const QString& address);
