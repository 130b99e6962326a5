// The detail window's reply list: date and time, TTL, time and bytes of every listed reply.
#pragma once

#include <QAbstractTableModel>
#include <vector>

#include "engine/u_header.h"

class DetailRowsModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void Append(veltrin::AddressRow row);
    void Clear();
    const std::vector<veltrin::AddressRow>& Rows() const { return rows_; }

private:
    std::vector<veltrin::AddressRow> rows_;
};
