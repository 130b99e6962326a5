#include "settings/startup.h"

#include "settings/paths.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"

namespace veltrin {

void LoadLocationFile(Tgolbal& golbal) {
    LoadLocationTable(FindDataFile(kLocationFileName), golbal.location);
}

void LoadSettingsFile(Tgolbal& golbal) {
    golbal.inipath = SettingsFilePath();
    LoadSettings(golbal.inipath, golbal.mailsetting, golbal.interval, golbal.datalength);
    golbal.probehost = LoadProbeHost(golbal.inipath);
}

}  // namespace veltrin
