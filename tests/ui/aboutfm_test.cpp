// The about box offscreen: its frame, the default text, and what "About.txt" does to the memo.
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "ui/aboutfm.h"

class AboutFormTest : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;

    QString Write(const QString& name, const QByteArray& bytes) {
        const QString path = dir_.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
        f.write(bytes);
        return path;
    }

    static QString ShownText(const QString& path) {
        Taboutform box(nullptr, path);
        box.show();
        if (!QTest::qWaitForWindowExposed(&box)) return QStringLiteral("<not exposed>");
        QTest::qWait(20);
        return box.Memo1()->toPlainText();
    }

private slots:
    void frame() {
        Taboutform box(nullptr, dir_.filePath("missing.txt"));
        QCOMPARE(box.windowTitle(), QStringLiteral("About"));
        QCOMPARE(box.size(), QSize(394, 372));
        QCOMPARE(box.minimumSize(), box.maximumSize());
        const Qt::WindowFlags f = box.windowFlags();
        QVERIFY(f.testFlag(Qt::CustomizeWindowHint));
        QVERIFY(!f.testFlag(Qt::WindowCloseButtonHint));
        QVERIFY(!f.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(!f.testFlag(Qt::WindowMaximizeButtonHint));
        QVERIFY(!f.testFlag(Qt::WindowSystemMenuHint));
        QCOMPARE(box.Image1()->size(), QSize(41, 41));
        QVERIFY(box.Label1()->text().startsWith("Veltrin Ping Utility "));
        QVERIFY(box.Label1()->text().contains(Taboutform::Version()));
        QCOMPARE(box.Label1()->font().pixelSize(), 13);
        QVERIFY(box.Memo1()->isReadOnly());
        QCOMPARE(box.Memo1()->focusPolicy(), Qt::NoFocus);
        QCOMPARE(box.Memo1()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        QCOMPARE(box.Button1()->text(), QStringLiteral("OK"));
    }

    void defaultText() {
        const QString text = Taboutform::DefaultText();
        const int product = text.indexOf("1. >>Product Information<<");
        const int company = text.indexOf("2. >>Company Information<<");
        QVERIFY(product >= 0);
        QVERIFY(company > product);
        for (const char* label : {"Product name:\t", "Version:\t", "Release date:\t", "Supported systems:\t"}) {
            const int at = text.indexOf(QLatin1String(label));
            QVERIFY2(at > product && at < company, label);
        }
        QVERIFY(text.contains("Veltrin Ping Utility"));
        QVERIFY(text.contains("Linux (X11, Wayland)"));
        QVERIFY(text.indexOf("Maker:\t") > company);
        QVERIFY(text.indexOf("Home page:\t") > company);
    }

    void memoFromFile_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("missing");
        QTest::addColumn<QString>("expected");  // "<default>" for the built-in text
        QTest::newRow("absent") << QByteArray() << true << "<default>";
        QTest::newRow("empty") << QByteArray() << false << "<default>";
        QTest::newRow("one empty line") << QByteArray("\r\n") << false << "";
        QTest::newRow("crlf lines") << QByteArray("first\r\nsecond line\r\n") << false << "first\nsecond line";
        QTest::newRow("lf, no final break") << QByteArray("a\nb") << false << "a\nb";
        QTest::newRow("lone cr") << QByteArray("a\rb\r") << false << "a\nb";
        QTest::newRow("blank middle") << QByteArray("a\r\n\r\nb\r\n") << false << "a\n\nb";
        QTest::newRow("latin-1") << QByteArray("caf\xe9\r\n") << false << QString::fromUtf8("caf\xc3\xa9");
        QTest::newRow("utf-8") << QByteArray("caf\xc3\xa9\r\n") << false << QString::fromUtf8("caf\xc3\xa9");
    }
    void memoFromFile() {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, missing);
        QFETCH(QString, expected);
        const QString path = missing ? dir_.filePath("nothing-here.txt") : Write("About.txt", bytes);
        QVERIFY(!path.isEmpty());
        if (expected == "<default>") expected = Taboutform::DefaultText();
        QCOMPARE(ShownText(path), expected);
    }

    void hugeFileIsBounded() {
        QByteArray big;
        for (int i = 0; i < 40000; ++i) big += "0123456789012345678901234567890123456789\r\n";  // 1.6 MB
        const QString path = Write("Big.txt", big);
        Taboutform box(nullptr, path);
        QVERIFY(box.lines().size() < 10000u);
        QVERIFY(!box.lines().empty());
    }

    void okCloses() {
        auto* box = new Taboutform(nullptr, dir_.filePath("missing.txt"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        QPointer<Taboutform> guard(box);
        box->show();
        QVERIFY(QTest::qWaitForWindowExposed(box));
        QTest::mouseClick(box->Button1(), Qt::LeftButton);
        QTRY_VERIFY(guard.isNull());
    }

    void twoBoxes() {
        Taboutform one(nullptr, dir_.filePath("missing.txt"));
        Taboutform two(nullptr, dir_.filePath("missing.txt"));
        one.show();
        two.show();
        QVERIFY(QTest::qWaitForWindowExposed(&one));
        QVERIFY(QTest::qWaitForWindowExposed(&two));
        QVERIFY(one.isVisible() && two.isVisible());
        QVERIFY(!one.isModal() && !two.isModal());
    }
};

QTEST_MAIN(AboutFormTest)
#include "aboutfm_test.moc"
