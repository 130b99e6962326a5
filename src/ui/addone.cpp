#include "ui/addone.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <string>

#include "engine/global_unit.h"
#include "logs/logops.h"
#include "monitor/namecache.h"
#include "ui/dialogs.h"
#include "ui/keyfilter.h"

namespace {

// Resolution that keeps failing for another reason than an unknown name is given up after
// this many tries; the dialog then stays open with the text.
constexpr int kAddTries = 3;
constexpr int kNameWaitMs = 1000;

// Text of digits and dots is taken as an address, never looked up as a name, so it has to be a
// whole dotted quad: four parts of one to three digits, each at most 255. Anything else
// ("300.1.1.1", "1.2.3.4.5", "1..2.3") could never be pinged or show a reply. Leading zeros
// are kept as typed ("127.000.000.003").
bool MalformedDotted(const QString& text) {
    for (const QChar c : text)
        if (!c.isDigit() && c != QLatin1Char('.')) return false;  // a name: the resolver decides
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return true;
    for (const QString& part : parts) {
        if (part.isEmpty() || part.size() > 3) return true;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9')) return true;  // other scripts' digits
        if (part.toInt() > 255) return true;
    }
    return false;
}

}  // namespace

Taddonefm::Taddonefm(veltrin::AddressList& list, QWidget* parent) : QDialog(parent), list_(list) {
    setObjectName(QStringLiteral("addonefm"));
    setWindowTitle(QStringLiteral("Add an address"));
    // A fixed dialog border without title-bar buttons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    Label1 = new QLabel(QStringLiteral("Add IP address, domain or URL"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit1 = new QLineEdit(this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setMinimumWidth(260);
    // Room for a web address with its path; a pasted text of megabytes is cut on entry.
    Edit1->setMaxLength(static_cast<int>(veltrin::kMaxWebAddressText));
    Edit1->installEventFilter(this);
    Button1 = new QPushButton(QStringLiteral("Add"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->installEventFilter(this);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    connect(Button1, &QPushButton::clicked, this, &Taddonefm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(Edit1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    Edit1->setFocus();
}

void Taddonefm::Button1Click() {
    const QString text = Edit1->text();
    // An empty field or a broken dotted address names nothing that could be pinged.
    if (text.isEmpty() || MalformedDotted(text)) {
        veltrin::ShowNotice(this, QStringLiteral("Nonexistent address"));
        return;
    }
    std::string address = text.toStdString();
    if (veltrin::BoundAddressText(address)) {
        veltrin::ShowNotice(this, QStringLiteral("The address was too long and was cut to %1 characters.")
                                      .arg(QString::fromStdString(address).size()));
        Edit1->setText(QString::fromStdString(address));
    }
    if (list_.Room() == 0) {
        veltrin::ShowNotice(this, QStringLiteral("The address list is full (at most %1 addresses).").arg(veltrin::kMaxListRows));
        return;
    }
    for (int attempt = 0; attempt < kAddTries; ++attempt) {
        try {
            // A name is asked of the resolver cache, waiting a second at most: a name server
            // that does not answer must not freeze the window. Dotted text needs no lookup.
            const bool dotted = std::all_of(address.begin(), address.end(),
                                            [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
            if (!dotted) {
                const veltrin::NameAnswer answer = veltrin::SharedNameCache().Wait(address, kNameWaitMs);
                if (answer.state == veltrin::NameAnswer::State::Failed ||
                    answer.state == veltrin::NameAnswer::State::NotAddress) {
                    veltrin::ShowNotice(this, QStringLiteral("Nonexistent address"));
                    return;
                }
                if (answer.state == veltrin::NameAnswer::State::Pending)
                    veltrin::ShowNotice(this, QStringLiteral("The name server has not answered within a second. The "
                                                             "address is added and pinged once its name resolves."));
            }
            list_.Append(address);  // the text as typed, not the resolved address
            accept();
            return;
        } catch (...) {
            // Try again from the start.
        }
    }
}

bool Taddonefm::eventFilter(QObject* watched, QEvent* event) {
    // One Enter per press: a held key is not a second press.
    if (event->type() == QEvent::KeyPress && veltrin::IsRepeatedEnter(static_cast<QKeyEvent*>(event))) return true;
    if (watched == Edit1 && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            focusNextChild();  // to "Add"
            return true;
        }
        // Escape reaches the dialog, which closes without adding.
    }
    return QDialog::eventFilter(watched, event);
}
