// The settings window's desktop fields on the advanced page: the host the connectivity check
// pings (empty turns the check off) and which chord makes O, S, T and P desktop-wide hot keys.
#include <QButtonGroup>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>

#include "engine/global_unit.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"
#include "ui/mailsetting.h"

void Tmailsettingform::BuildDesktopFields() {
    auto* caption = new QLabel(QStringLiteral("Probe host"), advancedpage_);
    caption->move(300, 31);
    caption->adjustSize();
    probehostedt_ = new QLineEdit(advancedpage_);
    probehostedt_->setObjectName(QStringLiteral("probehostedt"));
    probehostedt_->setGeometry(370, 28, 160, 22);
    probehostedt_->setMaxLength(253);  // the longest host name
    probehostedt_->setPlaceholderText(QStringLiteral("empty: no check"));
    probehostedt_->setToolTip(
        QStringLiteral("The host the connectivity check pings; leave it empty to turn the check off"));

    auto* keys = new QGroupBox(QStringLiteral("Hot keys from any program"), advancedpage_);
    keys->setObjectName(QStringLiteral("hotkeysgroup"));
    // Below the history box, beside the reachability fields.
    keys->setGeometry(300, 126, 236, 78);
    auto radio = [keys](const QString& text, const char* name, int y, int height) {
        auto* button = new QRadioButton(text, keys);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(10, y, 220, height);
        return button;
    };
    hotkeyctrlalt_ = radio(QStringLiteral("Ctrl+Alt+O, S, T, P"), "hotkeyctrlalt_radiobtn", 14, 18);
    hotkeyctrl_ = radio(QStringLiteral("Ctrl+O, S, T, P: takes these keys\nfrom every other program"),
                        "hotkeyctrl_radiobtn", 32, 28);
    hotkeyoff_ = radio(QStringLiteral("Off"), "hotkeyoff_radiobtn", 58, 18);
    hotkeyctrl_->setToolTip(QStringLiteral(
        "Open, save, new tab and print (Ctrl+O, Ctrl+S, Ctrl+T, Ctrl+P) then no longer reach other programs"));
    auto* group = new QButtonGroup(this);
    for (QRadioButton* b : {hotkeyctrlalt_, hotkeyctrl_, hotkeyoff_}) group->addButton(b);
    hotkeyctrlalt_->setChecked(true);
}

void Tmailsettingform::LoadDesktopFields() {
    const veltrin::Tgolbal* g = veltrin::Golbal();
    if (g == nullptr) return;
    probehostedt_->setText(QString::fromStdString(g->probehost));
    switch (veltrin::LoadPingInteger(g->inipath, veltrin::kHotKeysKey, veltrin::kHotKeysCtrlAlt)) {
        case veltrin::kHotKeysOff:
            hotkeyoff_->setChecked(true);
            break;
        case veltrin::kHotKeysCtrl:
            hotkeyctrl_->setChecked(true);
            break;
        default:
            hotkeyctrlalt_->setChecked(true);
            break;
    }
}

bool Tmailsettingform::SaveDesktopFields(bool& saved) {
    saved = true;
    veltrin::Tgolbal* g = veltrin::Golbal();
    if (g == nullptr) return true;
    const std::string host = probehostedt_->text().trimmed().toStdString();
    if (!host.empty() && !veltrin::UsableProbeHost(host)) {
        PageControl1_->setCurrentWidget(advancedpage_);
        RefuseAddress(probehostedt_, QStringLiteral("Wrong probe host: letters, digits, '-', '.' and '_' only"));
        return false;
    }
    const std::int32_t chord = hotkeyoff_->isChecked()    ? veltrin::kHotKeysOff
                               : hotkeyctrl_->isChecked() ? veltrin::kHotKeysCtrl
                                                          : veltrin::kHotKeysCtrlAlt;
    // In use for this run even when the file cannot be written (the window then says so).
    g->probehost = host;
    saved = veltrin::SavePingText(g->inipath, veltrin::kProbeHostKey, host) &&
            veltrin::SavePingInteger(g->inipath, veltrin::kHotKeysKey, chord);
    if (host_.desktopchanged) host_.desktopchanged();
    return true;
}
