// quillon.exe: the desktop program on Windows. It reads no command line and no environment
// variable; its settings and log sit beside it.

#include <windows.h>
#include <commctrl.h>

#include "base/program_paths.h"
#include "base/seams.h"
#include "serial/comm_driver.h"
#include "serial/port_checks.h"
#include "ui/main_window_model.h"
#include "ui/win32/win32_views.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Without this the progress bar's class may be missing, and the progress dialog's
  // DS_NOFAILCREATE would hide that.
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  const std::wstring base_name = quillon::win32::ApplicationTitle();
  // Held until the process ends: that is what keeps a second copy out.
  CreateMutexW(nullptr, TRUE, base_name.c_str());
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    quillon::win32::ActivateRunningCopy(base_name);
    return 0;
  }

  quillon::MainWindowModel model(quillon::MakePlatformCommDriver(), std::make_unique<quillon::ThreadPause>());
  // A port that cannot be opened is found before the person is asked to restart the device.
  model.CheckPortsWith([](const std::string& device) { return quillon::CheckPort(device, {"/", false}); });
  quillon::win32::MainDialog dialog(model, quillon::ExecutablePath());
  dialog.RunModal();
  return 0;
}
