#include "settings/startup.h"

#include "engine/location.h"
#include "settings/paths.h"
#include "settings/probehost.h"
#include "settings/settingsfile.h"

namespace veltrin {

void LoadLocationFile(Tgolbal& golbal) {
    LoadLocationTable(FindDataFile(kLocationFileName), golbal.location);
}

void StartLocationLoad(Tgolbal& golbal) {
    if (!golbal.locations) golbal.locations = std::make_shared<LocationLoader>();
    golbal.locations->Start(FindDataFile(kLocationFileName));
}

void LoadSettingsFile(Tgolbal& golbal) {
    golbal.inipath = SettingsFilePath();
    LoadSettings(golbal.inipath, golbal.mailsetting, golbal.interval, golbal.datalength);
    golbal.probehost = LoadProbeHost(golbal.inipath);
}

}  // namespace veltrin
