// The INI settings file ("korbel setting.ini").
#pragma once

#include <cstdint>
#include <string>

#include "engine/u_header.h"

namespace veltrin {

void LoadSettings(const std::string& inipath, Tmailsetting& mail, std::int32_t& interval, std::int32_t& datalength);
bool SaveMailSettings(const std::string& inipath, const Tmailsetting& mail);
bool SaveAdvancedSettings(const std::string& inipath, std::int32_t savetime, std::int32_t datalength,
                          std::int32_t interval);

}  // namespace veltrin
