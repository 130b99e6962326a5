// The top window: a 33 x 33 square that floats above every other window near the lower right
// corner of the screen, with a right-button menu of the main window's commands, a double-click
// that hides the main window into the tray and brings it back, and drag to move.
#pragma once

#include <QPixmap>
#include <QWidget>

#include <functional>

class QAction;
class QMenu;

// The main window's commands the top window reaches. Empty entries do nothing.
struct TopCommands {
    std::function<void()> ping;          // pingbtnClick
    std::function<void()> stop;          // stopbtnClick
    std::function<void()> addone;        // ShowAddOneDialog (modal)
    std::function<void()> addgroup;      // ShowAddGroupDialog (modal)
    std::function<void()> deletelast;    // DeleteSelectedAddress
    std::function<void()> deleteall;     // ClearAllAddresses
    std::function<void()> importfile;    // ImportAddressFile
    std::function<void()> updatetray;    // UpdateTrayIcon
    std::function<void(int)> syscommand; // SysCommand: minimise, restore, close
};

class Ttopform : public QWidget {
    Q_OBJECT

public:
    static constexpr int kSide = 33;    // the visible square
    static constexpr int kOffset = 150; // from the right and bottom screen edges
    static constexpr int SC_MINIMIZE = 0xF020;
    static constexpr int SC_RESTORE = 0xF120;
    static constexpr int SC_CLOSE = 0xF060;

    // No parent widget: like a pop-up of the desktop, it lives on its own; the main window owns
    // and deletes it.
    explicit Ttopform(TopCommands commands);
    ~Ttopform() override;

    bool mainhidden() const { return mainhidden_; }
    QMenu* popmu1() const { return popmu1_; }

    // Menu item handlers, also reached by tests.
    void pingClick();
    void stopClick();
    void exit1Click();
    // The double-click: minimise or restore the main window.
    void ToggleMain();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void FormCreate();
    void BuildMenu();
    void ShowMenu(const QPoint& globalpos);

    TopCommands commands_;
    bool mainhidden_ = false;
    QPixmap T1BMP_;  // with its transparent colour masked out
    bool pressed_ = false;   // a dragging button is down
    bool dragging_ = false;  // and the pointer has moved far enough to drag
    QPoint pressat_;         // where it went down, in global coordinates
    QPoint grabat_;          // and in the square
    QMenu* popmu1_ = nullptr;
};
