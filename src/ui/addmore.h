// The add-group dialog: appends a run of IPv4 addresses that differ only in their last part.
#pragma once

#include <QDialog>
#include <QString>

#include "monitor/addresslist.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

class Taddmorefm : public QDialog {
    Q_OBJECT

  public:
    Taddmorefm(veltrin::AddressList& list, QWidget* parent = nullptr);

    void Edit2Enter();    // the end field gains the focus
    void Button1Click();  // "Add"

    // The common part of the generated addresses; kept for the whole process.
    static QString groupprefix();
    static void SetGroupprefix(const QString& prefix);

    QGroupBox* GroupBox1 = nullptr;
    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    bool leftstart_ = false;  // the start field was just left by Tab, Backtab or a click
    veltrin::AddressList& list_;
};
