// The main window's list kept between runs: written whole to the data folder a moment after it
// changes (and at the end), read back at start when no address file is given.
#include <QAbstractItemModel>
#include <QFile>
#include <QTimer>
#include <string>
#include <vector>

#include "engine/global_unit.h"
#include "logs/logfiles.h"
#include "logs/logops.h"
#include "settings/paths.h"
#include "settings/settingsfile.h"
#include "ui/addresslistmodel.h"
#include "ui/dialogs.h"
#include "ui/mainfm.h"

namespace {

// Many changes in a row (an import, a group added, rows deleted one by one) make one write.
constexpr int kKeepListDelayMs = 1000;
constexpr char kKeptListFileName[] = "address list.spl";

}  // namespace

QString Tmainform::KeptListPath() {
    const std::string folder = veltrin::AutoLogDirectory();
    return QFile::decodeName(QByteArray::fromStdString(folder + kKeptListFileName));
}

bool Tmainform::KeepListEnabled() {
    const veltrin::Tgolbal* golbal = veltrin::Golbal();
    if (golbal == nullptr || golbal->inipath.empty()) return true;
    return veltrin::LoadPingInteger(golbal->inipath, veltrin::kKeepListKey, 1) != 0;
}

void Tmainform::LoadKeptList() {
    if (argumentfile_ || !KeepListEnabled()) return;
    std::vector<veltrin::AddressRow> rows;
    // A first run has no file yet; that is no problem to report.
    if (!QFile::exists(KeptListPath())) return;
    if (!veltrin::LoadAddressFile(QFile::encodeName(KeptListPath()).toStdString(), rows)) {
        TellWhenShown(QStringLiteral("Address list of the last run cannot be read: %1").arg(KeptListPath()));
        return;
    }
    list_.AppendRows(std::move(rows));
}

void Tmainform::WatchListForKeeping() {
    keeplisttimer_ = new QTimer(this);
    keeplisttimer_->setSingleShot(true);
    keeplisttimer_->setInterval(kKeepListDelayMs);
    connect(keeplisttimer_, &QTimer::timeout, this, &Tmainform::WriteKeptList);
    // Only the addresses are kept; reply cells changing do not count.
    auto changed = [this] { keeplisttimer_->start(); };
    connect(model_, &QAbstractItemModel::rowsInserted, this, changed);
    connect(model_, &QAbstractItemModel::rowsRemoved, this, changed);
    connect(model_, &QAbstractItemModel::modelReset, this, changed);
}

void Tmainform::FlushKeptList() {
    if (keeplisttimer_ != nullptr && keeplisttimer_->isActive()) WriteKeptList();
}

void Tmainform::WriteKeptList() {
    if (keeplisttimer_ != nullptr) keeplisttimer_->stop();
    if (!KeepListEnabled()) return;
    std::vector<veltrin::AddressRow> rows;
    rows.reserve(list_.Rows().size());
    for (const veltrin::AddressRow& row : list_.Rows()) rows.push_back({row.address, {}, {}, {}});
    std::string error;
    if (veltrin::WriteTextLines(QFile::encodeName(KeptListPath()).toStdString(), veltrin::MainLogLines(rows),
                                error)) {
        keeplistfailtold_ = false;
        return;
    }
    // Said once until a write works again; the list itself stays as it is in the window.
    if (keeplistfailtold_) return;
    keeplistfailtold_ = true;
    TellWhenShown(QStringLiteral("Address list cannot be kept: %1").arg(QString::fromLocal8Bit(error.c_str())));
}
