// The about box: program name and version, a picture, and a text read from "About.txt" beside
// the program (or the installed data folder), with a built-in text when that file is absent or
// empty.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

class QLabel;
class QPlainTextEdit;
class QPushButton;

class Taboutform : public QDialog {
    Q_OBJECT

public:
    static constexpr int kClientWidth = 394;
    static constexpr int kClientHeight = 372;

    // `aboutpath`: the text file to load; empty means "About.txt" found the usual way.
    explicit Taboutform(QWidget* owner, const QString& aboutpath = QString());
    ~Taboutform() override;

    // The built-in text, shown when the file gives no lines.
    static QString DefaultText();
    // The version shown in the label.
    static QString Version();

    QPlainTextEdit* Memo1() const { return Memo1_; }
    QLabel* Label1() const { return Label1_; }
    QLabel* Image1() const { return Image1_; }
    QLabel* PathLabel() const { return pathlabel_; }  // how this program reaches ICMP
    QPushButton* Button1() const { return Button1_; }
    const std::vector<std::string>& lines() const { return lines_; }

    // Reloads the memo from the file's lines (see FormPaint in the .cpp).
    void FormPaint();

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void FormCreate(const QString& aboutpath);
    void Button1Click();
    void RequestPaint();

    std::vector<std::string> lines_;
    bool paintpending_ = false;
    QLabel* Image1_ = nullptr;
    QLabel* Label1_ = nullptr;
    QLabel* pathlabel_ = nullptr;
    QPlainTextEdit* Memo1_ = nullptr;
    QPushButton* Button1_ = nullptr;
};
