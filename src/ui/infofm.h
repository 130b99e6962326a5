// The ICMP info window: a hexadecimal dump of the last packet the detail window accepted and its
// decoded fields, refreshed every five seconds while it is open, and a save of the dump.
#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "engine/u_header.h"

class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace veltrin {
class HandOver;
class Tinfo;
}  // namespace veltrin

class Tinfoform : public QDialog {
    Q_OBJECT
public:
    // Copies the detail window's last datagram (kReceiveBufferSize bytes, IP header included) and its
    // described record. Called on the window thread.
    using PacketSource = std::function<void(std::uint8_t* raw, veltrin::Tdecordbuf& reply)>;

    // Starts the refresh worker at once; its steps go through `handover`.
    Tinfoform(QWidget* parent, veltrin::HandOver& handover, PacketSource source);
    ~Tinfoform() override;

    // Every way of closing ends here: the refresh worker is stopped first.
    void done(int result) override;

    void Button1Click();   // "Save log"
    void closebtnClick();  // "Close"
    void Label5Click();    // opens the RFC 792 text

    // The address Label5 shows and opens.
    static QUrl LinkUrl();
    // Replaces the way the link is opened (tests); a null function restores the desktop's.
    static void SetLinkOpener(std::function<void(const QUrl&)> opener);

    QGroupBox *GroupBox1 = nullptr, *GroupBox2 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr, *Label5 = nullptr;
    QPushButton *Button1 = nullptr, *closebtn = nullptr;

protected:
    void keyPressEvent(QKeyEvent* e) override;
    void showEvent(QShowEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void StopInfo();
    // The refresh worker's steps, on the window thread.
    void CopyPacket();
    void ShowPacket();

    PacketSource source_;
    std::array<std::uint8_t, 1004> icmpbytes_{};
    veltrin::Tdecordbuf reply_;
    QString savepath_;
    bool stopped_ = false;
    std::unique_ptr<veltrin::Tinfo> info_;
};
