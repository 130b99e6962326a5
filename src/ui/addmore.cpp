#include "ui/addmore.h"

#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/decimal.h"
#include "logs/logops.h"
#include "ui/dialogs.h"
#include "ui/keyfilter.h"

namespace {

// The end field: runs the dialog's entry step after its own focus handling (which selects the
// text when tabbed into), so the prefix replaces that selection.
class EndEdit : public QLineEdit {
  public:
    EndEdit(QWidget* parent, std::function<void(Qt::FocusReason)> entered)
        : QLineEdit(parent), entered_(std::move(entered)) {}

  protected:
    void focusInEvent(QFocusEvent* event) override {
        QLineEdit::focusInEvent(event);
        if (entered_) entered_(event->reason());
    }

  private:
    std::function<void(Qt::FocusReason)> entered_;
};

// A move the user makes from one field to the next, as opposed to the window coming back, a
// context menu closing or a program call.
bool UserMove(Qt::FocusReason reason) {
    return reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason || reason == Qt::MouseFocusReason;
}

QString& Prefix() {
    static QString prefix;
    return prefix;
}

}  // namespace

QString Taddmorefm::groupprefix() {
    return Prefix();
}

void Taddmorefm::SetGroupprefix(const QString& prefix) {
    Prefix() = prefix;
}

Taddmorefm::Taddmorefm(veltrin::AddressList& list, QWidget* parent) : QDialog(parent), list_(list) {
    setObjectName(QStringLiteral("addmorefm"));
    setWindowTitle(QStringLiteral("Add a group"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);

    GroupBox1 = new QGroupBox(QStringLiteral("Add a group IP between"), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    Label1 = new QLabel(QStringLiteral("StartIP:"), GroupBox1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Edit1 = new QLineEdit(GroupBox1);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Label2 = new QLabel(QStringLiteral("EndIP:"), GroupBox1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Edit2 = new EndEdit(GroupBox1, [this](Qt::FocusReason reason) {
        // Only a move straight from the start field brings the prefix; the end field gaining the
        // focus for any other reason keeps what it holds.
        const bool fromstart = leftstart_;
        leftstart_ = false;
        if (fromstart && UserMove(reason)) Edit2Enter();
    });
    Edit2->setObjectName(QStringLiteral("Edit2"));
    for (QLineEdit* edit : {Edit1, Edit2}) {
        edit->setMinimumWidth(150);
        // The fields hold a dotted address; a paste of megabytes would become every row's prefix.
        edit->setMaxLength(static_cast<int>(veltrin::kMaxHostNameText));
        edit->installEventFilter(this);
    }
    Button1 = new QPushButton(QStringLiteral("Add"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->installEventFilter(this);
    Button2 = new QPushButton(QStringLiteral("Cancel"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    connect(Button1, &QPushButton::clicked, this, &Taddmorefm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    auto* grid = new QGridLayout(GroupBox1);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Edit1, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Edit2, 1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(Button1);
    buttons->addWidget(Button2);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    Edit1->setFocus();
}

void Taddmorefm::Edit2Enter() {
    const QString start = Edit1->text();
    const qsizetype stop = start.lastIndexOf(u'.');
    if (stop < 0) return;  // the prefix keeps its previous value
    Prefix() = start.left(stop + 1);
    // The prefix replaces the whole end field, also when a click (which selects nothing) brought
    // the focus, so it never lands inside an address already there.
    Edit2->selectAll();
    Edit2->insert(Prefix());
}

void Taddmorefm::Button1Click() {
    const qsizetype cut = Prefix().size();
    std::int32_t first = 0;
    std::int32_t last = 0;
    const bool firstok = veltrin::ParseDecimal(Edit1->text().mid(cut).trimmed().toStdString(), first);
    const bool lastok = veltrin::ParseDecimal(Edit2->text().mid(cut).trimmed().toStdString(), last);
    if (!firstok || !lastok) {
        veltrin::ShowNotice(this, QStringLiteral("Unknown IP address "));
        return;
    }
    if (last < first) std::swap(first, last);
    last = std::min(last, 255);
    first = std::max(first, 1);
    if (last >= first) {
        const std::string prefix = Prefix().toStdString();
        std::vector<veltrin::AddressRow> rows;
        rows.reserve(static_cast<std::size_t>(last - first + 1));
        for (int n = first; n <= last; ++n) {
            veltrin::AddressRow row;
            row.address = prefix + std::to_string(n);
            rows.push_back(std::move(row));
        }
        const std::size_t wanted = rows.size();
        const std::size_t taken = list_.AppendRows(std::move(rows));
        if (taken < wanted)
            veltrin::ShowNotice(this, QStringLiteral("The address list holds at most %1 addresses: %2 address(es) were "
                                                     "not added.")
                                          .arg(veltrin::kMaxListRows)
                                          .arg(wanted - taken));
    }
    accept();
}

bool Taddmorefm::eventFilter(QObject* watched, QEvent* event) {
    // One Enter per press: a held key is not a second press.
    if (event->type() == QEvent::KeyPress && veltrin::IsRepeatedEnter(static_cast<QKeyEvent*>(event))) return true;
    if (watched == Edit1 && event->type() == QEvent::FocusOut)
        leftstart_ = UserMove(static_cast<QFocusEvent*>(event)->reason());
    if (watched == Edit1 || watched == Edit2) {
        if (event->type() == QEvent::KeyPress) {
            const auto* key = static_cast<QKeyEvent*>(event);
            if (veltrin::IsEnterKey(key)) {
                focusNextChild();
                return true;
            }
            // Digits and the full stop only.
            return veltrin::SwallowNonDigitKey(key, u".");
        }
    }
    return QDialog::eventFilter(watched, event);
}
