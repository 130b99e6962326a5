#include "ui/infofm.h"

#include <QDesktopServices>
#include <QFile>
#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/icmp_channel.h"
#include "logs/logops.h"
#include "monitor/detailstat.h"
#include "monitor/detailworkers.h"
#include "ui/dialogs.h"

namespace {

constexpr int kRefreshMs = 5000;
constexpr std::size_t kIpHeader = 20;  // the header length is taken as 20, options or not

std::function<void(const QUrl&)>& LinkOpener() {
    static std::function<void(const QUrl&)> opener;
    return opener;
}

// Texts taken from a datagram are single-byte text, not UTF-8.
QString Bytes(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

QUrl Tinfoform::LinkUrl() { return QUrl(QStringLiteral("https://www.rfc-editor.org/rfc/rfc792")); }

void Tinfoform::SetLinkOpener(std::function<void(const QUrl&)> opener) { LinkOpener() = std::move(opener); }

Tinfoform::Tinfoform(QWidget* parent, veltrin::HandOver& handover, PacketSource source)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint),
      source_(std::move(source)) {
    setWindowTitle(QStringLiteral("Detail Info....."));
    setFixedSize(432, 315);

    QFont small = font();
    small.setPixelSize(13);

    GroupBox1 = new QGroupBox(QStringLiteral("Accept data"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setFixedHeight(145);
    Memo1 = new QPlainTextEdit(GroupBox1);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setFont(small);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    QPalette memopalette = Memo1->palette();
    memopalette.setColor(QPalette::Base, Qt::black);
    memopalette.setColor(QPalette::Text, QColor(0, 255, 0));
    Memo1->setPalette(memopalette);
    auto* group1 = new QVBoxLayout(GroupBox1);
    group1->addWidget(Memo1);

    GroupBox2 = new QGroupBox(QStringLiteral("Transfer info"), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setFixedHeight(115);
    auto* group2 = new QVBoxLayout(GroupBox2);
    QLabel** const labels[] = {&Label1, &Label2, &Label3, &Label4};
    for (int i = 0; i < 4; ++i) {
        auto* l = new QLabel(GroupBox2);
        l->setObjectName(QStringLiteral("Label%1").arg(i + 1));
        l->setFont(small);
        l->setTextFormat(Qt::PlainText);  // the texts come from the network
        group2->addWidget(l);
        *labels[i] = l;
    }

    Label5 = new QLabel(QStringLiteral("Other ICMP info:  ") + LinkUrl().toString(), this);
    Label5->setObjectName(QStringLiteral("Label5"));
    Label5->setTextFormat(Qt::PlainText);
    QFont linkfont = Label5->font();
    linkfont.setItalic(true);
    Label5->setFont(linkfont);
    QPalette linkpalette = Label5->palette();
    linkpalette.setColor(QPalette::WindowText, Qt::blue);
    Label5->setPalette(linkpalette);
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->installEventFilter(this);

    Button1 = new QPushButton(QStringLiteral("Save log"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    closebtn = new QPushButton(QStringLiteral("Close"), this);
    closebtn->setObjectName(QStringLiteral("closebtn"));
    // Enter must not close the window through a default button.
    Button1->setAutoDefault(false);
    closebtn->setAutoDefault(false);
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(closebtn, &QPushButton::clicked, this, [this] { closebtnClick(); });

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Label5, 1);
    buttons->addWidget(Button1);
    buttons->addWidget(closebtn);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addWidget(GroupBox2);
    layout->addLayout(buttons);

    info_ = std::make_unique<veltrin::Threaded<veltrin::Tinfo>>(
        handover, [this] { CopyPacket(); }, [this] { ShowPacket(); }, kRefreshMs);
    if (!info_->Start()) info_->Start();
}

Tinfoform::~Tinfoform() { StopInfo(); }

void Tinfoform::StopInfo() {
    stopped_ = true;
    if (info_) info_->Stop();
}

void Tinfoform::done(int result) {
    StopInfo();
    QDialog::done(result);
}

void Tinfoform::CopyPacket() {
    if (stopped_) return;
    icmpbytes_.fill(0);
    reply_ = veltrin::Tdecordbuf{};
    veltrin::ReceiveBuffer raw{};
    if (source_) source_(raw.data(), reply_);
    std::memcpy(icmpbytes_.data(), raw.data() + kIpHeader, icmpbytes_.size());
}

void Tinfoform::ShowPacket() {
    if (stopped_) return;
    QStringList lines;
    for (const std::string& line : veltrin::PacketDumpLines(icmpbytes_.data())) lines << QString::fromLatin1(line);
    Memo1->setPlainText(lines.join(QLatin1Char('\n')));
    try {
        const QString l1 = QStringLiteral("Icmp type:  ") + Bytes(reply_.icmptype) + QStringLiteral("    ") +
                           QStringLiteral("Icmp code description:") + QStringLiteral("   ") + Bytes(reply_.icmpcode);
        const QString l2 = QStringLiteral("Icmp Sourceip:  ") + Bytes(reply_.sourceip) + QStringLiteral("    Icmp DestIP:") +
                           Bytes(reply_.destip);
        const QString l3 = QStringLiteral("Picket size:    ") + Bytes(reply_.packetsize) + QStringLiteral("    Timeout:") +
                           Bytes(reply_.replytime) + QStringLiteral("ms    TTL:") + Bytes(reply_.ttl);
        QString l4 = QStringLiteral("Datastr:") + Bytes(reply_.datastr);
        // Datagram sockets deliver no IP header: source, destination, TTL and size were rebuilt.
        if (veltrin::CurrentIcmpPath() == veltrin::IcmpPath::Datagram) l4 += QStringLiteral("    (IP header rebuilt)");
        Label1->setText(l1);
        Label2->setText(l2);
        Label3->setText(l3);
        Label4->setText(l4);
    } catch (...) {
        Label1->setText(QStringLiteral("Load data error: Error code-") + QString::number(errno));
    }
}

void Tinfoform::Button1Click() {
    const QString chosen = veltrin::ChooseSaveFile(this, QStringLiteral("Save log"), savepath_,
                                                   QStringLiteral("Text file|*.txt"), QStringLiteral(".txt"));
    if (chosen.isEmpty()) return;
    savepath_ = chosen;
    std::vector<std::string> lines;
    for (const QString& line : Memo1->toPlainText().split(QLatin1Char('\n'))) lines.push_back(line.toLatin1().toStdString());
    std::string error;
    switch (veltrin::SaveDumpLog(QFile::encodeName(chosen).toStdString(), lines, error,
                                 veltrin::ExistingLog::Replace)) {
        case veltrin::LogSaveResult::Saved:
            veltrin::ShowNotice(this, QStringLiteral("Log is successfully archived!"));
            break;
        case veltrin::LogSaveResult::Failed:
            veltrin::ShowNotice(this, QString::fromLocal8Bit(error.c_str()));
            break;
        default:
            break;
    }
}

void Tinfoform::closebtnClick() { done(QDialog::Rejected); }

void Tinfoform::Label5Click() {
    const QUrl url = LinkUrl();
    if (LinkOpener())
        LinkOpener()(url);
    else
        QDesktopServices::openUrl(url);
}

void Tinfoform::keyPressEvent(QKeyEvent* e) {
    if (e->key() == Qt::Key_Escape) {
        // Esc closes only from the window itself or its "Save log" button, not from the memo.
        QWidget* focus = focusWidget();
        if (focus == nullptr || focus == this || focus == Button1)
            closebtnClick();
        else
            e->ignore();
        return;
    }
    QDialog::keyPressEvent(e);
}

void Tinfoform::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    // Centred over the main window: the detail window's owner when there is one.
    QWidget* over = parentWidget();
    if (over != nullptr && over->parentWidget() != nullptr) over = over->parentWidget()->window();
    if (over != nullptr) {
        QRect area = frameGeometry();
        area.moveCenter(over->frameGeometry().center());
        move(area.topLeft());
    }
}

bool Tinfoform::eventFilter(QObject* watched, QEvent* e) {
    if (watched == Label5 && e->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
        Label5Click();
        return true;
    }
    return QDialog::eventFilter(watched, e);
}
