// The main list view's model: the Qt face of veltrin::AddressList. The list stays the one store
// of rows; this model only reports its changes to the views, so a list of 100,000 rows costs no
// copy and no per-row object.
#pragma once

#include <QAbstractTableModel>

#include "monitor/addresslist.h"

namespace veltrin {

class AddressListModel : public QAbstractTableModel, private AddressList::Observer {
    Q_OBJECT

  public:
    enum Column { AddressColumn = 0, TtlColumn, TimeColumn, BytesColumn, ColumnCount };

    explicit AddressListModel(AddressList& list, QObject* parent = nullptr);
    ~AddressListModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Cell changes are gathered and announced once per turn of the event loop (a reply may
    // change every row); this announces what is pending now.
    void FlushChanges();

  signals:
    // The list's own selection changed (not through the view).
    void listSelectionChanged();

  private:
    void RowsReset() override;
    void RowsInserted(int first, int last) override;
    void RowsRemoved(int first, int last) override;
    void RowChanged(int row) override;
    void SelectionChanged() override;

    AddressList& list_;
    int shown_ = 0;  // rows the views know of; differs from the list only inside a notice
    int changedfirst_ = -1;
    int changedlast_ = -1;
    bool flushqueued_ = false;
};

}  // namespace veltrin
