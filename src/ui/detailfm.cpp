#include "ui/detailfm.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTableView>
#include <QTime>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/decimal.h"
#include "engine/global_unit.h"
#include "engine/location.h"
#include "logs/logops.h"
#include "monitor/detailworkers.h"
#include "monitor/echoledger.h"
#include "monitor/namecache.h"
#include "monitor/pingthreads.h"
#include "monitor/reachability.h"
#include "monitor/replyfilter.h"
#include "settings/paths.h"
#include "ui/dialogs.h"
#include "ui/handover.h"
#include "ui/detailrowsmodel.h"
#include "ui/infofm.h"
#include "ui/painttimer.h"
#include "ui/replytable.h"
#include "ui/rttgraph.h"

namespace {

// A list that empties itself once it holds more rows than this, before the next row.
constexpr int kMaxRows = 2000;
// The least pause after a send cycle that sent nothing (unresolvable address, no raw socket),
// so such cycles never keep the window thread busy with back-to-back hand-overs.
constexpr int kFailedCyclePauseMs = 100;
// How often echoes past their time-out are looked for, to mark them on the graph.
constexpr int kLossPollMs = 500;

// The locale's long time form without the time-zone part that Qt adds to it.
QString LongTimeText(const QLocale& locale, const QTime& time) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString cleaned;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        cleaned += c;
    }
    return locale.toString(time, cleaned.trimmed());
}

QString ReplyTimeText() {
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    return locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') + LongTimeText(locale, now.time());
}

QString Qs(const std::string& s) { return QString::fromStdString(s); }

std::string LocalPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

Tdetailform::Tdetailform(QWidget* owner, veltrin::HandOver& handover, DetailHost host)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      handover_(handover),
      host_(std::move(host)) {
    setWindowTitle(QStringLiteral("Details"));
    setAttribute(Qt::WA_DeleteOnClose, false);  // CloseDetail decides when the memory goes
    resize(600, 760);  // room for the graph above the reply list

    auto* Panel1 = new QWidget(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setFixedHeight(257);
    auto* panellayout = new QVBoxLayout(Panel1);
    panellayout->addWidget(BuildGeneralGroup(Panel1));
    panellayout->addWidget(BuildStatisticsGroup(Panel1));
    BuildReplyList();
    graph = new veltrin::RttGraph(this);
    QLayout* buttons = BuildButtons();

    StatusBar1 = new QStatusBar(this);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setSizeGripEnabled(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(Panel1);
    layout->addWidget(graph, 3);
    layout->addWidget(listv1, 2);
    // The graph and the list give way first when the screen is small (scaled desktops).
    listv1->setMinimumHeight(40);
    layout->addLayout(buttons);
    layout->addWidget(StatusBar1);

    paint_ = new veltrin::PaintCoalescer(this, [this] { FormPaint(); });
    expose_ = new veltrin::ExposeWatch(this, [this] { SchedulePaint(); });

    // A fresh window starts from zero; the periodic save runs when the setting asks for it.
    stat_ = veltrin::Tdetailstat{};
    StartSaveTimer();
    losstimer_ = new QTimer(this);
    losstimer_->setInterval(kLossPollMs);
    connect(losstimer_, &QTimer::timeout, this, [this] { GraphLosses(); });
}

QLabel* Tdetailform::MakeLabel(const char* name, const QString& text) {
    QFont labelfont = font();
    labelfont.setPixelSize(13);
    auto* l = new QLabel(text);
    l->setObjectName(QString::fromLatin1(name));
    l->setFont(labelfont);
    l->setTextFormat(Qt::PlainText);  // addresses and locations are shown as typed
    return l;
}

QWidget* Tdetailform::BuildGeneralGroup(QWidget* parent) {
    auto* GroupBox1 = new QGroupBox(QStringLiteral("General Information"), parent);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* general = new QVBoxLayout(GroupBox1);
    dom = MakeLabel("dom", QStringLiteral("Domain name:"));
    ipaddr = MakeLabel("ipaddr", QStringLiteral("IP address:    "));
    location = MakeLabel("location", QStringLiteral("Location:    "));
    aspeed = MakeLabel("aspeed", QStringLiteral("Approximate speed: "));
    general->addWidget(dom);
    general->addWidget(ipaddr);
    general->addWidget(location);
    general->addWidget(aspeed);
    return GroupBox1;
}

QWidget* Tdetailform::BuildStatisticsGroup(QWidget* parent) {
    auto* GroupBox2 = new QGroupBox(QStringLiteral("Ping Statistics"), parent);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    auto* statistics = new QVBoxLayout(GroupBox2);
    psize = MakeLabel("psize", QStringLiteral("Packet Size:"));
    statistics->addWidget(psize);
    auto* counts = new QHBoxLayout;
    sent = MakeLabel("sent", QStringLiteral("Sent:"));
    received = MakeLabel("received", QStringLiteral("Received:"));
    lost = MakeLabel("lost", QStringLiteral("Lost:"));
    counts->addWidget(sent, 1);
    counts->addWidget(received, 1);
    counts->addWidget(lost, 1);
    statistics->addLayout(counts);
    auto* times = new QHBoxLayout;
    Minum = MakeLabel("Minum", QStringLiteral("Minum:"));
    Maxum = MakeLabel("Maxum", QStringLiteral("Maxum: "));
    Average = MakeLabel("Average", QStringLiteral("Average:"));
    times->addWidget(Minum, 1);
    times->addWidget(Maxum, 1);
    times->addWidget(Average, 1);
    statistics->addLayout(times);
    return GroupBox2;
}

void Tdetailform::BuildReplyList() {
    rows_ = new DetailRowsModel(this);
    listv1 = new QTableView(this);
    listv1->setObjectName(QStringLiteral("listv1"));
    listv1->setModel(rows_);
    // Lime text on the dark window-frame colour; a selected row keeps its lime.
    veltrin::StyleReplyTable(listv1, veltrin::ReplyTableLook{QColor(0x40, 0x40, 0x40), {150, 80, 100, 100}});
    listv1->setSelectionMode(QAbstractItemView::SingleSelection);
    listv1->horizontalHeader()->setStretchLastSection(false);
    QPalette listpalette = listv1->palette();
    listpalette.setColor(QPalette::HighlightedText, veltrin::kReplyText);
    listv1->setPalette(listpalette);
    listv1->installEventFilter(this);
}

QLayout* Tdetailform::BuildButtons() {
    Button1 = new QPushButton(QStringLiteral("Clear"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button2 = new QPushButton(QStringLiteral("Save log"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button3 = new QPushButton(QStringLiteral("Detail Info"), this);
    Button3->setObjectName(QStringLiteral("Button3"));
    closebtn = new QPushButton(QStringLiteral("Close"), this);
    closebtn->setObjectName(QStringLiteral("closebtn"));
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(closebtn, &QPushButton::clicked, this, [this] { closebtnClick(); });
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    buttons->addWidget(Button3);
    buttons->addWidget(closebtn);
    return buttons;
}

void Tdetailform::StartSaveTimer() {
    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    const std::int32_t savetime = veltrin::Golbal() != nullptr ? veltrin::Golbal()->mailsetting.savetime : 0;
    if (savetime > 0) {
        // Minutes to milliseconds in 64 bits: a large setting must not wrap into a short period.
        const std::int64_t period = std::int64_t{savetime} * 60000;
        Timer1->setInterval(static_cast<int>(std::min<std::int64_t>(period, std::numeric_limits<int>::max())));
        Timer1->start();
    }
}

Tdetailform::~Tdetailform() {
    // Also reached when the owner goes first: the workers must be gone before the members they
    // use. The opener's flag is not touched here, the opener may already be half destroyed.
    closed_ = true;
    if (info_) delete info_.data();
    StopWorkers();
}

std::vector<veltrin::AddressRow> Tdetailform::Rows() const { return rows_->Rows(); }

std::uint16_t Tdetailform::SenderIdentifier() const { return sender_ ? sender_->Identifier() : 0; }

void Tdetailform::SchedulePaint() {
    if (!closed_) paint_->Request();
}

void Tdetailform::FormPaint() {
    if (closed_) return;
    if (!started_) {
        started_ = true;
        StartWorkers();
    }
    const std::string address = pingaddress_.toStdString();
    dom->setText(QStringLiteral("Domain name:   ") + pingaddress_);
    // Read from the resolver cache, never looked up here: a name still being resolved shows no
    // address yet and is named on a later paint.
    std::string ip;
    if (!address.empty() &&
        std::all_of(address.begin(), address.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; })) {
        ip = address;  // dotted text is shown as written
    } else if (!address.empty()) {
        const veltrin::NameAnswer answer = veltrin::SharedNameCache().Read(address);
        if (answer.state == veltrin::NameAnswer::State::Resolved) ip = veltrin::DottedValue(answer.value);
        if (answer.state == veltrin::NameAnswer::State::Pending)
            QTimer::singleShot(250, this, [this] { SchedulePaint(); });
    }
    ipaddr->setText(QStringLiteral("IP address:    ") + Qs(ip));
    std::string place = "IP column is empty";
    const veltrin::Tgolbal* g = veltrin::Golbal();
    const std::int64_t key = veltrin::IpKey(ip);
    if (g != nullptr && g->locations && g->locations->Started()) {
        if (!g->locations->Lookup(key, place)) {
            // Still loading: named on a later paint.
            place = "loading...";
            QTimer::singleShot(250, this, [this] { SchedulePaint(); });
        }
    } else if (g != nullptr) {
        place = veltrin::LookupLocation(g->location, key);  // a table filled in place, no loader
    }
    location->setText(QStringLiteral("Location:    ") + Qs(place));
    aspeed->setText(QStringLiteral("Approximate speed:     -1 ms"));
}

void Tdetailform::StartWorkers() {
    sender_ = std::make_unique<veltrin::Threaded<veltrin::tsendthread>>(
        handover_, [this](veltrin::SendTarget& target) { return PickTarget(target); },
        [this](int) {
            // Every cycle counts once as sent: when its echo was recorded (often already seen by
            // a reply step), or here when nothing went on the wire.
            CountSends();
            if (!cyclecounted_) veltrin::AccountSend(stat_);
        },
        kFailedCyclePauseMs);
    veltrin::tsendthread* const sender = sender_.get();
    if (!ledger_) ledger_ = std::make_unique<veltrin::EchoLedger>();
    receiver_ = std::make_unique<veltrin::Threaded<veltrin::trecvthread>>(
        handover_, [sender] { return sender->Started() ? int{sender->Identifier()} : -1; }, ledger_.get(),
        [this](const std::uint8_t* raw, int length, const veltrin::ReplyCheck& check) {
            AcceptReply(raw, length, check.described);
            GraphReply(check);
        });
    veltrin::ShareChannel(*sender_, *receiver_);
    calculate_ = std::make_unique<veltrin::Threaded<veltrin::tcalculate>>(
        handover_, [this] { return stat_; },
        [this](const std::array<std::string, 8>& texts) { SetStatisticsLabels(texts); });
    veltrin::Worker* const workers[] = {sender_.get(), receiver_.get(), calculate_.get()};
    for (veltrin::Worker* w : workers)
        if (!w->Start()) w->Start();  // one more try, as a thread may fail to start under load
    losstimer_->start();
}

void Tdetailform::StopWorkers() {
    veltrin::Worker* const workers[] = {sender_.get(), receiver_.get(), calculate_.get()};
    // Ask all three first so none of them starts a new wait while another is being joined; a
    // worker waiting for the window thread gives up at once, as this thread is the window thread.
    for (veltrin::Worker* w : workers)
        if (w != nullptr) w->gate().RequestStop();
    for (veltrin::Worker* w : workers)
        if (w != nullptr) w->Stop();
    // The receiver reads the sender's identifier, so it goes first.
    calculate_.reset();
    receiver_.reset();
    sender_.reset();
}

void Tdetailform::CountSends() {
    if (!ledger_) return;
    for (std::size_t n = ledger_->TakeSent().size(); n > 0; --n) {
        veltrin::AccountSend(stat_);
        cyclecounted_ = true;
    }
}

bool Tdetailform::PickTarget(veltrin::SendTarget& target) {
    if (closed_) return false;
    cyclecounted_ = false;
    // The same reading of the text as the main list: a malformed dotted text is not sent to
    // (it would go to 255.255.255.255), leading zeros are decimal.
    const std::string text = pingaddress_.toStdString();
    const veltrin::AddressText parsed = veltrin::ClassifyAddressText(text);
    // A name is read from the resolver cache; one without an answer yet sends nothing this cycle.
    veltrin::AddressText answer = parsed;
    if (parsed.kind == veltrin::AddressKind::Name) {
        const veltrin::NameAnswer named = veltrin::SharedNameCache().Read(text, true);
        answer.kind = named.state == veltrin::NameAnswer::State::Resolved ? veltrin::AddressKind::Dotted
                                                                          : veltrin::AddressKind::NotAddress;
        answer.value = named.value;
    }
    target.ip.clear();
    if (answer.kind == veltrin::AddressKind::Dotted) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&answer.value);
        target.ip = std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." +
                    std::to_string(b[3]);
    }
    if (veltrin::EchoLedger* ledger = ledger_.get(); ledger != nullptr && !target.ip.empty()) {
        const std::uint32_t addr = answer.value;
        target.record = [ledger, addr](std::uint16_t identifier, std::uint32_t tick) {
            ledger->Record(addr, identifier, tick, veltrin::MonotonicNs());
        };
    }
    target.interval = veltrin::DetailInterval((host_.intervaltext ? host_.intervaltext() : QString()).toStdString());
    if (veltrin::Tgolbal* g = veltrin::Golbal()) {
        g->interval = target.interval;
        target.datalength = g->datalength;
    }
    return true;
}

void Tdetailform::AcceptReply(const std::uint8_t* raw, int length, const veltrin::Tdecordbuf& reply) {
    if (closed_) return;
    // The echo this answers was recorded before it left: count it as sent first, so "Received"
    // never runs ahead of "Sent".
    CountSends();
    try {
        // A reply time that is no 32-bit number drops the packet before any of its steps.
        std::int32_t roundtrip = 0;
        if (!veltrin::ReplyRoundTrip(reply.replytime, roundtrip)) return;

        // Copy.
        std::memcpy(lastraw_.data(), raw, lastraw_.size());
        lastreply_ = reply;

        // Row.
        if (rows_->rowCount() > kMaxRows) rows_->Clear();
        // The receiver passes on only echo replies that answer this window's own echoes (to
        // its address), so no address comparison is needed, and none by text.
        if (reply.icmpcode == "Reply message") {
            rows_->Append({ReplyTimeText().toStdString(), reply.ttl, reply.replytime, reply.packetsize});
            const QModelIndex added = rows_->index(rows_->rowCount() - 1, 0);
            listv1->selectRow(added.row());
            listv1->scrollTo(added);
        }

        // Counters: "Received" counts only echo replies to this window's own echoes (the
        // receiver passes on no others), never our own requests seen on loopback.
        if (reply.icmpcode == "Reply message") veltrin::AccountReply(stat_, roundtrip, length);
    } catch (...) {
        // Out of memory for one row: the reply is dropped, the window and its workers go on.
    }
}

void Tdetailform::GraphReply(const veltrin::ReplyCheck& check) {
    // Only replies counted as received: a late one was already marked lost.
    if (closed_ || !check.echoreply || check.match != veltrin::EchoLedger::Match::Answered ||
        check.described.icmpcode != "Reply message")
        return;
    graph->AddReply(QDateTime::currentMSecsSinceEpoch(), static_cast<double>(check.rttns) / 1e6);
}

void Tdetailform::GraphLosses() {
    if (closed_ || !ledger_) return;
    const std::vector<veltrin::EchoLedger::LostEcho> lost = ledger_->TakeLost(veltrin::MonotonicNs());
    if (lost.empty()) return;
    // Marked when they were sent, which is a time-out before they were judged lost.
    const std::int64_t sent = QDateTime::currentMSecsSinceEpoch() - ledger_->Timeout();
    for (std::size_t i = 0; i < lost.size(); ++i) graph->AddLoss(sent);
}

void Tdetailform::RetargetGraph() {
    graph->Clear();
    if (!host_.minutes) return;
    const QString address = pingaddress_;
    const auto source = host_.minutes;
    graph->SetMinuteSource([source, address](std::int64_t since, std::int64_t until) {
        return source(address, since, until);
    });
}

void Tdetailform::SetStatisticsLabels(const std::array<std::string, 8>& texts) {
    if (closed_) return;
    QLabel* const labels[] = {sent, received, aspeed, lost, Minum, Maxum, Average, psize};
    for (std::size_t i = 0; i < texts.size(); ++i) labels[i]->setText(Qs(texts[i]));
}

void Tdetailform::Button1Click() { rows_->Clear(); }

void Tdetailform::Button2Click() {
    const QString chosen = veltrin::ChooseSaveFile(this, QStringLiteral("Save log"), savepath_,
                                                   QStringLiteral("Text file|*.txt"), QStringLiteral(".txt"));
    if (chosen.isEmpty()) return;
    savepath_ = chosen;
    veltrin::Tgolbal* g = veltrin::Golbal();
    std::string scratch;
    const std::string sendsetting = g != nullptr ? g->mailsetting.sendsetting : std::string();
    std::string& emailtext = g != nullptr ? g->mailsetting.emailtext : scratch;
    std::string error;
    const auto result = veltrin::SaveDetailLog(LocalPath(chosen), rows_->Rows(), sendsetting, emailtext,
                                               veltrin::ExistingLog::Replace, &error);
    if (result == veltrin::LogSaveResult::Saved) veltrin::ShowNotice(this, QStringLiteral("Log is successfully saved!"));
    if (result == veltrin::LogSaveResult::Failed) veltrin::ShowNotice(this, QString::fromLocal8Bit(error.c_str()));
}

void Tdetailform::Button3Click() {
    if (closed_ || info_) return;
    QPointer<Tdetailform> self(this);
    QPointer<Tinfoform> info = new Tinfoform(this, handover_, [self](std::uint8_t* raw, veltrin::Tdecordbuf& reply) {
        if (!self) return;
        std::memcpy(raw, self->lastraw_.data(), self->lastraw_.size());
        reply = self->lastreply_;
    });
    info_ = info;
    info->exec();
    // Touch nothing of this window unless it outlived the modal loop.
    if (info) delete info.data();
}

void Tdetailform::closebtnClick() { CloseDetail(); }

void Tdetailform::Timer1Timer() {
    veltrin::Tgolbal* g = veltrin::Golbal();
    if (closed_ || g == nullptr || g->mailsetting.savetime == 0) return;
    std::string error;
    const bool saved = veltrin::SaveAutoDetailLog(veltrin::AutoLogDirectory(), ipaddr->text().toStdString(),
                                                  rows_->Rows(), g->mailsetting.sendsetting,
                                                  g->mailsetting.emailtext, error);
    // A folder that cannot be written stays so for a while: said once, and again only after a
    // save has worked in between, not at every tick.
    if (saved) {
        autologfailtold_ = false;
    } else if (!autologfailtold_) {
        autologfailtold_ = true;
        veltrin::ShowNotice(this, Qs(error));
    }
}

void Tdetailform::CloseDetail() {
    if (closed_) return;
    closed_ = true;
    Timer1->stop();
    losstimer_->stop();
    paint_->Cancel();
    if (info_) info_->done(0);  // stops its refresh worker before anything else goes
    StopWorkers();
    if (host_.setdetailopen) host_.setdetailopen(false);
    hide();
    deleteLater();
}

bool Tdetailform::event(QEvent* e) {
    if (e->type() == WM_DETAILCLEAR) {
        rows_->Clear();
        RetargetGraph();
        return true;
    }
    if (e->type() == QEvent::WindowActivate) SchedulePaint();
    return QWidget::event(e);
}

bool Tdetailform::eventFilter(QObject* watched, QEvent* e) {
    if (watched == listv1 && e->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(e)->key() == Qt::Key_Escape) {
        closebtnClick();
        return true;
    }
    return QWidget::eventFilter(watched, e);
}

void Tdetailform::closeEvent(QCloseEvent* e) {
    CloseDetail();
    e->accept();
}

void Tdetailform::showEvent(QShowEvent* e) {
    QWidget::showEvent(e);
    expose_->Attach();
    SchedulePaint();
}

Tdetailform* OpenDetailWindow(QWidget* owner, veltrin::HandOver& handover, const DetailHost& host, bool detailopen,
                              const QString& address) {
    if (detailopen && owner != nullptr) {
        for (Tdetailform* open : owner->findChildren<Tdetailform*>(Qt::FindDirectChildrenOnly)) {
            if (open->IsClosed()) continue;
            if (open->isMinimized()) open->showNormal();
            open->show();
            open->raise();
            open->activateWindow();
            open->setPingaddress(address);
            QCoreApplication::postEvent(open, new QEvent(WM_DETAILCLEAR));
            open->SchedulePaint();
            return open;
        }
        // The flag said open but no window is: open a fresh one.
    }
    Tdetailform* window = nullptr;
    try {
        window = new Tdetailform(owner, handover, host);
        window->setPingaddress(address);
        if (owner != nullptr) {
            QRect area = window->frameGeometry();
            area.moveCenter(owner->frameGeometry().center());
            window->move(area.topLeft());
        }
        window->show();
    } catch (...) {
        if (window != nullptr) {
            window->CloseDetail();
        }
        return nullptr;
    }
    if (host.setdetailopen) host.setdetailopen(true);
    QCoreApplication::postEvent(window, new QEvent(WM_DETAILCLEAR));
    return window;
}
