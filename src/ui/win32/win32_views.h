#pragma once
// The Win32 views of the desktop program over the dialog templates of resources/quillon.rc,
// one file per window. They draw and forward; what they do lives in MainWindowModel and below.

#include "ui/win32/about_box.h"
#include "ui/win32/dialog_common.h"
#include "ui/win32/main_window.h"
#include "ui/win32/progress_window.h"
