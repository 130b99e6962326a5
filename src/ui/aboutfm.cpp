#include "ui/aboutfm.h"

#include "logs/textlines.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStringList>
#include <QTimer>

#include "engine/global_unit.h"
#include "settings/paths.h"
#include "ui/pictures.h"

namespace {

constexpr char kAboutFileName[] = "About.txt";
// An about text is a page or two; a larger file is read only this far.
constexpr qint64 kMaxAboutBytes = 256 * 1024;
constexpr char kFallbackVersion[] = "1.0.0";
constexpr char kReleaseDate[] = "2026-12-10";

// Lines the way a list of lines loads a text file (the common line rule).
std::vector<std::string> SplitFileLines(const QByteArray& bytes) {
    return veltrin::SplitLines(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

// The file is single-byte text; UTF-8 is taken as such when it is valid, Latin-1 otherwise.
QString ShowText(const std::string& line) {
    const QByteArray bytes = QByteArray::fromStdString(line);
    QString text = QString::fromUtf8(bytes);
    if (text.contains(QChar::ReplacementCharacter)) text = QString::fromLatin1(bytes);
    return text;
}

}  // namespace

Taboutform::Taboutform(QWidget* owner, const QString& aboutpath)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName(QStringLiteral("aboutform"));
    setWindowTitle(QStringLiteral("About"));
    setModal(false);
    setFixedSize(kClientWidth, kClientHeight);

    Image1_ = new QLabel(this);
    Image1_->setObjectName(QStringLiteral("Image1"));
    Image1_->setGeometry(8, 8, 41, 41);

    Label1_ = new QLabel(this);
    Label1_->setObjectName(QStringLiteral("Label1"));
    QFont font = Label1_->font();
    font.setPixelSize(13);
    Label1_->setFont(font);
    Label1_->setText(QStringLiteral("Veltrin Ping Utility ") + Version());
    Label1_->setGeometry(60, 18, kClientWidth - 68, 22);

    Memo1_ = new QPlainTextEdit(this);
    Memo1_->setObjectName(QStringLiteral("Memo1"));
    Memo1_->setReadOnly(true);
    Memo1_->setFocusPolicy(Qt::NoFocus);  // outside the tab order
    Memo1_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1_->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1_->setTabStopDistance(Memo1_->fontMetrics().horizontalAdvance(QLatin1Char(' ')) * 8);
    Memo1_->setGeometry(8, 58, kClientWidth - 16, kClientHeight - 58 - 48);
    Memo1_->setPlainText(DefaultText());

    Button1_ = new QPushButton(QStringLiteral("OK"), this);
    Button1_->setObjectName(QStringLiteral("Button1"));
    Button1_->setDefault(true);
    Button1_->setGeometry((kClientWidth - 80) / 2, kClientHeight - 38, 80, 28);
    connect(Button1_, &QPushButton::clicked, this, &Taboutform::Button1Click);

    FormCreate(aboutpath);
}

Taboutform::~Taboutform() = default;

QString Taboutform::Version() {
    const QString version = QCoreApplication::applicationVersion();
    return version.isEmpty() ? QString::fromLatin1(kFallbackVersion) : version;
}

QString Taboutform::DefaultText() {
    const QStringList lines = {
        QStringLiteral("1. >>Product Information<<"),
        QString(),
        QStringLiteral("Product name:\t\tVeltrin Ping Utility"),
        QStringLiteral("Version:\t\t") + Version(),
        QStringLiteral("Release date:\t\t") + QString::fromLatin1(kReleaseDate),
        QStringLiteral("Supported systems:\tLinux (X11, Wayland)"),
        QString(),
        QStringLiteral("2. >>Company Information<<"),
        QString(),
        QStringLiteral("Maker:\t\t\tVeltrin Software"),
        QStringLiteral("Home page:\t\tnone published"),
    };
    return lines.join(QLatin1Char('\n'));
}

void Taboutform::FormCreate(const QString& aboutpath) {
    lines_.clear();
    try {
        const QString path = aboutpath.isEmpty() ? QString::fromStdString(veltrin::FindDataFile(kAboutFileName))
                                                 : aboutpath;
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) lines_ = SplitFileLines(file.read(kMaxAboutBytes));
    } catch (...) {
        lines_.clear();
    }
    // The picture: the program's emblem with its white background left out; none if it fails.
    QPixmap picture = veltrin::AppIcon().pixmap(41, 41);
    if (picture.isNull()) {
        Image1_->hide();
    } else {
        Image1_->setPixmap(picture);
    }
}

void Taboutform::FormPaint() {
    paintpending_ = false;
    try {
        if (veltrin::JoinCommaText(lines_).empty()) return;
        QStringList shown;
        for (const std::string& line : lines_) shown << ShowText(line);
        const QString text = shown.join(QLatin1Char('\n'));
        // Refilled only when it differs, so a repaint does not scroll the reader back to the top.
        if (Memo1_->toPlainText() != text) {
            Memo1_->clear();
            Memo1_->setPlainText(text);
        }
    } catch (...) {
        Image1_->hide();
    }
}

void Taboutform::RequestPaint() {
    if (paintpending_) return;
    paintpending_ = true;
    QTimer::singleShot(0, this, &Taboutform::FormPaint);
}

void Taboutform::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    RequestPaint();
}

void Taboutform::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) RequestPaint();
}

void Taboutform::Button1Click() { close(); }

void Taboutform::closeEvent(QCloseEvent* event) {
    lines_.clear();
    QDialog::closeEvent(event);
}
