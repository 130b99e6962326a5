// The main window: the address list with the latest reply per address, the interval field, Ping
// and Stop, the tool bar, the menus, and the commands the other windows call.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <future>
#include <memory>
#include <vector>

#include "monitor/addresslist.h"
#include "monitor/monitor.h"
#include "ui/closemail.h"
#include "ui/syscommand.h"

class QAction;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QSystemTrayIcon;
class QTableView;
class QToolBar;

namespace veltrin {
class AddressListModel;
class AddressSortProxy;
class Alerts;
class ColumnHeader;
class GlobalHotKeys;
class HistoryStore;
class MainTray;
class PaintCoalescer;
class SelectionMirror;
}

// Window classes live in the global namespace, like the other windows; the Qt-free parts they
// use are in namespace veltrin.
class Ttopform;

class Tmainform : public QMainWindow, private veltrin::MonitorEvents {
    Q_OBJECT

  public:
    // System command values that the title bar, the top window and the settings window send.
    static constexpr int SC_MINIMIZE = veltrin::SC_MINIMIZE;
    static constexpr int SC_RESTORE = veltrin::SC_RESTORE;
    static constexpr int SC_CLOSE = veltrin::SC_CLOSE;

    // `arguments`: the command line without the program name. Runs the whole start-up sequence,
    // ending with Start; the caller shows the window.
    explicit Tmainform(const QStringList& arguments, QWidget* parent = nullptr);
    ~Tmainform() override;

    // ---- commands other windows call (window thread only) ------------------------------------
    void ImportAddressFile();                     // file-open dialog, then append its addresses
    bool ImportAddressPath(const QString& path);  // the same without the dialog; false when unreadable
    void SaveAddressLog();
    void ShowAddOneDialog();
    void ShowAddGroupDialog();
    void DeleteSelectedAddress();  // exactly one selected row
    void DeleteSelectedAddresses();
    void DeleteLastAddress();
    void ClearAllAddresses();  // also stops the monitor
    void ShowHelp();
    void OpenDetail(const QString& address);
    void UpdateTrayIcon();
    void pingbtnClick();  // Start
    void stopbtnClick();  // Stop
    // SC_MINIMIZE, SC_RESTORE or SC_CLOSE; other values are ignored.
    void SysCommand(int command);

    // The interval field's current text (read by the senders every cycle).
    QString IntervalText() const;
    // The connectivity check writes its progress here.
    void SetCaption(const QString& caption);

    // Reloads what the window shows from memory. RequestPaint coalesces calls into one FormPaint
    // on the next turn of the event loop.
    void FormPaint();
    void RequestPaint();

    veltrin::AddressList& list() { return list_; }
    veltrin::Monitor& monitor() { return *monitor_; }
    bool detailopen() const { return detailopen_; }
    void SetDetailOpen(bool open) { detailopen_ = open; }
    bool AutoStartChecked() const;
    // Time-out, lost count and alerts from the settings file to the monitor and the alerts.
    void ApplyReachSettings();

    // Controls, for the other windows and for tests.
    QTableView* ListV1() const { return ListV1_; }
    QLineEdit* Edit2() const { return Edit2_; }
    veltrin::AddressListModel* ListModel() const { return model_; }
    // The view shows the list through this proxy, which sorts the view only.
    veltrin::AddressSortProxy* ListProxy() const { return proxy_; }
    veltrin::ColumnHeader* Columns() const { return columns_; }
    veltrin::Alerts* RowAlerts() const { return alerts_; }
    // "Korbel", then a line with the answering count: "7 of 8 answering".
    QString TrayToolTip() const;
    // True while the status picture shows the running (green) state.
    bool StatusGreen() const { return statusgreen_; }
    // The desktop pieces: tray icon and its menu popmu1, the top window, the global hot keys.
    QSystemTrayIcon* TrayIcon() const;
    QMenu* TrayMenu() const;
    bool InTray() const;
    bool TrayGreen() const;  // colour of the tray icon last set
    // True from the start of the close sequence's mail until the program ends.
    bool MailingOnClose() const;
    // The top window (made after the first paint; made at once when asked for before that).
    Ttopform* TopForm();
    veltrin::GlobalHotKeys* HotKeys() const { return hotkeys_.get(); }
    // The hot-key commands by table index: O (import), S (save), T (start), P (stop).
    void HotKeyPressed(int index);
    // After the settings window saved: the hot keys' chord and the probe host take effect now.
    void ApplyDesktopSettings();
    // File > Exit: the same close sequence as closing the window.
    void ExitCommand();
    // Address files a later start of the program handed over: appended as the command line's
    // would be (a missing or unreadable one is said), and the window comes to the front.
    void TakeHandedFiles(const QStringList& files);
    // Where the list is kept between runs: "address list.spl" in the data folder.
    static QString KeptListPath();
    // The round-trip history (mainhistory.cpp); null while it is off or failed to open.
    veltrin::HistoryStore* history() const { return history_.get(); }

  protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // MonitorEvents
    void StatusChanged(bool running) override;
    void FatalError(const std::string& text) override;
    void RawSocketUnavailable(const std::string& hint) override;
    void RowStatesChanged(const std::vector<veltrin::StateChange>& changes) override;
    void Results(const std::vector<veltrin::EchoResult>& results) override;

    void OpenHistory();  // at start, when the setting keeps history
    void TellHistoryProblem(const QString& text);  // once, on the status bar

    void BuildActions();  // the two list menus
    void BuildMenus();    // the menu bar and the two list menus, from one table
    void BuildToolBar();
    void BuildSettingGroup(QWidget* parent);
    void BuildList(QWidget* parent);

    // Start-up steps, in order.
    bool RegisterFileType();  // false when the file type could not be registered
    // The file type's icon (a 256-pixel PNG of the program's icon) once the window is up.
    void InstallFileTypeIcon();
    void DetectAutoStart();
    void SetUpHotKeys();     // O, S, T, P with the chord the settings file names, desktop-wide
    void TellHeldHotKeys();  // a chord another program holds, once in the status bar
    void SetUpWindowKeys();  // Ctrl+O/S/T/P and Ctrl+Q inside this window
    void LoadLocation();
    void ReadSettings();
    void LoadArgumentFile(const QStringList& arguments);
    // A start-up problem is said once the window is up; start-up is not held up by a box.
    void TellWhenShown(const QString& text);
    void ShowPendingNotices();
    // Appends the file's addresses; the text to show when it cannot be read or holds none.
    QString ImportProblem(const QString& path);
    // An address file as read, before it joins the list.
    struct ReadAddresses {
        bool ok = false;
        std::vector<veltrin::AddressRow> rows;
        std::size_t cut = 0;  // addresses cut to their length limit
    };
    static ReadAddresses ReadAddressFile(const QString& path);
    // The one address file the command line names, as ImportProblem will be given it; empty
    // when there is none to read (none, several, lost, a folder).
    static QString ArgumentFilePath(const QStringList& arguments);
    // The list kept between runs (keptlist.cpp).
    void LoadKeptList();         // at start, when no address file was given and keeping is on
    void WatchListForKeeping();  // address changes write the list a moment later
    void WriteKeptList();
    void FlushKeptList();        // a pending write happens now
    static bool KeepListEnabled();
    void CreateTopWindow();  // the always-on-top square, shown at once
    void ShowTopWindow();    // CreateTopWindow once, when the start-up is ready for it

    void RefreshStatusPicture();
    void ViewToList();  // the view's selection becomes the list's
    void Edit2Exit();
    bool Edit2KeyPress(QKeyEvent* key);  // true: the key is swallowed
    void ListV1MouseDown(const QPoint& globalpos);
    void ListV1DblClick();
    void ShowSettingsWindow();  // "Setting": a new modeless settings window
    void ShowAboutBox();        // "About ": a new modeless about box
    void Autorun1Click();       // "Auto start" toggle
    void ShowRawSocketNotice();
    void IP1Click();  // "IP Tracert "
    void MoreDetailInfo();
    bool ConfirmDeleteRows(int rows);  // true: go ahead

    // Minimise into the tray, restore from it, and the close sequence with the report mail.
    void HideToTray();
    void RestoreFromTray();
    void CloseAndReport();
    void ShowCloseMailWait();  // the way out of the close mail where no tray can show one

    veltrin::AddressList list_;
    veltrin::AddressListModel* model_ = nullptr;
    veltrin::AddressSortProxy* proxy_ = nullptr;
    veltrin::ColumnHeader* columns_ = nullptr;
    veltrin::Alerts* alerts_ = nullptr;
    bool traytippending_ = false;
    bool toppending_ = false;   // the top window is still to be made and shown
    bool iconpending_ = false;  // the file type's icon is still to be compared and written
    // Before the monitor, so it outlives the monitor's last results.
    std::unique_ptr<veltrin::HistoryStore> history_;
    bool historytold_ = false;
    std::unique_ptr<veltrin::Monitor> monitor_;
    bool detailopen_ = false;
    bool autostartchecked_ = false;
    bool statusgreen_ = false;
    bool closing_ = false;

    QString opendir_;   // last accepted import file
    QString savepath_;  // last accepted save name

    veltrin::PaintCoalescer* paint_ = nullptr;
    veltrin::SelectionMirror* mirror_ = nullptr;
    QToolBar* ToolBar1_ = nullptr;
    QLabel* Image1_ = nullptr;
    QLineEdit* Edit2_ = nullptr;
    QPushButton* pingbtn_ = nullptr;
    QPushButton* stopbtn_ = nullptr;
    QTableView* ListV1_ = nullptr;
    QMenu* pmselected_ = nullptr;
    QMenu* pmnone_ = nullptr;
    QAction* Autorun1_ = nullptr;

    veltrin::MainTray* tray_ = nullptr;
    std::unique_ptr<Ttopform> topform_;
    std::unique_ptr<veltrin::CloseMailSender> closemail_;  // the close sequence's mail, while it runs
    std::unique_ptr<veltrin::GlobalHotKeys> hotkeys_;
    QString hotkeystold_;  // the held keys last said in the status bar

    bool rawsocketpending_ = false;  // the hint waits until the window is up
    QString rawsockethint_;
    QStringList pendingnotices_;
    bool argumentfile_ = false;  // an address file was named on the command line
    // The command line's address file is read on a thread of its own while the window is
    // built; ImportProblem takes the rows from here.
    QString earlypath_;
    std::future<ReadAddresses> earlyread_;
    QTimer* keeplisttimer_ = nullptr;
    bool keeplistfailtold_ = false;
};
