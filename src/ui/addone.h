// The add-one dialog: appends one address of any form after checking that it resolves.
#pragma once

#include <QDialog>

#include "monitor/addresslist.h"

class QLabel;
class QLineEdit;
class QPushButton;

class Taddonefm : public QDialog {
    Q_OBJECT

  public:
    Taddonefm(veltrin::AddressList& list, QWidget* parent = nullptr);

    void Button1Click();  // "Add"

    QLabel* Label1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    veltrin::AddressList& list_;
};
