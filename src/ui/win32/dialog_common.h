#pragma once
// What the Win32 windows share.

#include <windows.h>

#include <string>
#include <string_view>

#include "report/words.h"

namespace quillon::win32 {

/// The module that holds the dialog templates.
HINSTANCE Instance();

/// The application's title: the executable's base name.
std::wstring ApplicationTitle();

/// String `id` of the program's string table in the language Windows picked for the user (the
/// Japanese table, or the English one); empty when there is none.
std::wstring ResourceString(UINT id);

/// A text of the update (a message, 504 naming its port; a progress window's text; the file
/// dialog's title and filter; the About item) as the string table Windows picked has it.
std::wstring ResourceText(std::string_view text);

/// The language of the resources Windows picked: Japanese when its string table is the
/// Japanese one, English otherwise.
Language ResourceLanguage();

}  // namespace quillon::win32
