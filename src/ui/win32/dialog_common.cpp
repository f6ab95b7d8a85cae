#include "ui/win32/dialog_common.h"

#include <filesystem>

#include "base/messages.h"
#include "base/program_paths.h"
#include "base/wide_text_win32.h"

namespace quillon::win32 {

HINSTANCE Instance() { return GetModuleHandleW(nullptr); }

std::wstring ApplicationTitle() {
  return std::filesystem::path(Widen(ExecutablePath())).stem().wstring();
}

std::wstring ResourceString(UINT id) {
  // With no buffer, LoadString gives the resource's own text, which is not NUL-terminated.
  const wchar_t* text = nullptr;
  const int n = LoadStringW(Instance(), id, reinterpret_cast<LPWSTR>(&text), 0);
  return n > 0 && text != nullptr ? std::wstring(text, static_cast<std::size_t>(n)) : std::wstring();
}

std::wstring ResourceText(std::string_view text) {
  return Widen(ShownTextFrom(text, [](int id) { return Narrow(ResourceString(static_cast<UINT>(id))); }));
}

Language ResourceLanguage() {
  return ResourceString(kMsgRestartInBootMode) == Widen(MessageText(kMsgRestartInBootMode)) ? Language::kJapanese
                                                                                           : Language::kEnglish;
}

}  // namespace quillon::win32
