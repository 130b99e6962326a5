// The main list's columns: the header menu that hides and shows them, sorting by any column
// (the view only), the remembered layout, and the once-a-second refresh of the reply ages.
#pragma once

#include <QObject>
#include <string>
#include <vector>

class QMenu;
class QTableView;
class QTimer;

namespace veltrin {

class AddressListModel;
class AddressSortProxy;

class ColumnHeader : public QObject {
    Q_OBJECT

  public:
    // `view` shows `proxy`, which sorts `model`. The layout is read from and written to the
    // settings file at `inipath` (empty: not remembered).
    ColumnHeader(QTableView* view, AddressSortProxy* proxy, AddressListModel* model, std::string inipath,
                 QObject* parent = nullptr);

    // The header's menu, rebuilt for the current layout (for the header's right click and tests).
    QMenu* Menu();
    void SetColumnShown(int column, bool shown);
    void SaveNow();
    // Repaints the age column's visible cells; the timer calls it every second.
    void RefreshAges();
    QTimer* AgeTimer() const { return agetimer_; }

  private:
    void Restore();
    void ScheduleSave();

    QTableView* view_;
    AddressSortProxy* proxy_;
    AddressListModel* model_;
    std::string inipath_;
    QMenu* menu_ = nullptr;
    QTimer* savetimer_ = nullptr;
    QTimer* agetimer_ = nullptr;
    bool restoring_ = false;
    // Each column's last width while shown: a hidden section reports none, yet comes back with it.
    std::vector<int> widths_;
};

}  // namespace veltrin
