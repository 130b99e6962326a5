// The main list's two selections kept equal: the view's (what the user clicked) and the address
// list's (what the commands act on). Each side's change is copied to the other; a guard keeps
// the copy from echoing back.
#pragma once

#include <QObject>

class QTableView;

namespace veltrin {

class AddressList;
class AddressListModel;
class AddressSortProxy;

class SelectionMirror : public QObject {
    Q_OBJECT

public:
    // The view shows `proxy`, which sorts `model` (the view only), which shows `list`; all
    // outlive the mirror. View rows are mapped to list rows through the proxy both ways.
    SelectionMirror(QTableView* view, AddressListModel* model, AddressSortProxy* proxy, AddressList& list,
                    QObject* parent = nullptr);

    void ViewToList();  // the view's selection becomes the list's
    void ListToView();  // and back, when the list changed it

private:
    QTableView* view_;
    AddressListModel* model_;
    AddressSortProxy* proxy_;
    AddressList& list_;
    bool syncing_ = false;
};

}  // namespace veltrin
