// The system commands that the title bar, the top window and the settings window send to the
// main window's SysCommand: minimise into the tray, restore from it, close.
#pragma once

namespace veltrin {

inline constexpr int SC_MINIMIZE = 0xF020;
inline constexpr int SC_RESTORE = 0xF120;
inline constexpr int SC_CLOSE = 0xF060;

}  // namespace veltrin
