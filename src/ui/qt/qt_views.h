#pragma once
// The Qt views of the desktop program, one file per window. They draw and forward; what they
// do lives in MainWindowModel and below.

#include "ui/qt/about_box.h"
#include "ui/qt/dialog_common.h"
#include "ui/qt/main_window.h"
#include "ui/qt/progress_window.h"
