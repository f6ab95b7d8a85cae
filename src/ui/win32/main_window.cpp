#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "resource.h"
#include "base/messages.h"
#include "base/wide_text_win32.h"
#include "ui/win32/about_box.h"
#include "ui/win32/dialog_common.h"

namespace quillon::win32 {

void Win32Prompt::ShowMessage(int id, std::string_view text) {
  if (wait_ != nullptr) wait_->End();
  // The box's text as the string table Windows picked has it; under English, why the run failed
  // and what to do next go below it (a Japanese reader's box stays as it always was).
  std::wstring wide = ResourceText(text);
  if (ResourceLanguage() == Language::kEnglish && detail) {
    if (const std::string more = detail(id); !more.empty()) wide += L"\n\n" + Widen(more);
  }
  if (answer) {
    answer(id, wide);
  } else {
    MessageBoxW(main_window_, wide.c_str(), ApplicationTitle().c_str(), MB_OK | MB_ICONEXCLAMATION);
  }
  if (id == kMsgRestartInBootMode && main_window_ != nullptr) {
    // The device's first answer may take seconds: what the box covered is drawn again at once
    // (not through the message loop, which could deliver a queued Enter) and the cursor says
    // that work is under way.
    RedrawWindow(main_window_, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    if (wait_ != nullptr) wait_->Show();
  }
}

void Win32Prompt::EnableMainWindow(bool enabled) {
  if (main_window_ != nullptr) EnableWindow(main_window_, enabled ? TRUE : FALSE);
  if (enabled && wait_ != nullptr) wait_->End();
}

MainDialog::MainDialog(MainWindowModel& model, std::string executable_path)
    : model_(model),
      executable_path_(std::move(executable_path)),
      wait_cursor_([this] { cursor_before_wait_ = SetCursor(LoadCursor(nullptr, IDC_WAIT)); },
                   [this] { SetCursor(cursor_before_wait_ != nullptr ? cursor_before_wait_ : LoadCursor(nullptr, IDC_ARROW)); }) {
  property_name_ = std::filesystem::path(Widen(executable_path_)).stem().wstring();
  icon_ = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                        GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  small_icon_ = static_cast<HICON>(LoadImageW(Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  browse = ShowOpenFileDialog;
  show_about = ShowAboutBox;
  prompt_.detail = [this](int id) { return model_.FailureDetail(id, Language::kEnglish); };
}

MainDialog::~MainDialog() {
  if (hwnd_ != nullptr && !modal_) DestroyWindow(hwnd_);
  if (icon_ != nullptr) DestroyIcon(icon_);
  if (small_icon_ != nullptr) DestroyIcon(small_icon_);
}

INT_PTR MainDialog::RunModal() {
  modal_ = true;
  return DialogBoxParamW(Instance(), MAKEINTRESOURCEW(IDD_QUILLON_DIALOG), nullptr, Proc,
                         reinterpret_cast<LPARAM>(this));
}

HWND MainDialog::CreateModeless() {
  modal_ = false;
  return CreateDialogParamW(Instance(), MAKEINTRESOURCEW(IDD_QUILLON_DIALOG), nullptr, Proc,
                            reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK MainDialog::Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    SetWindowLongPtrW(hwnd, DWLP_USER, lparam);
    reinterpret_cast<MainDialog*>(lparam)->hwnd_ = hwnd;
  }
  auto* self = reinterpret_cast<MainDialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  return self != nullptr ? self->Handle(message, wparam, lparam) : FALSE;
}

INT_PTR MainDialog::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case IDOK: OnSend(); return TRUE;
        case IDCANCEL: OnClose(); return TRUE;
        case IDC_BROWSE:
          if (HIWORD(wparam) == BN_CLICKED) OnBrowse();
          return TRUE;
        case IDC_COM_LIST:
          if (HIWORD(wparam) == CBN_SELCHANGE) OnComSelChange();
          return TRUE;
        default: return FALSE;
      }
    case WM_SYSCOMMAND:
      if ((wparam & 0xFFF0) == IDM_ABOUTBOX) {
        show_about(hwnd_);
        return TRUE;
      }
      return FALSE;
    case WM_PAINT:
      if (IsIconic(hwnd_)) {
        OnPaintMinimised();
        return TRUE;
      }
      return FALSE;
    case WM_QUERYDRAGICON:
      // One of the few messages whose dialog procedure result is the answer itself.
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_DESTROY:
      RemovePropW(hwnd_, property_name_.c_str());
      return FALSE;
    default:
      (void)lparam;
      return FALSE;
  }
}

void MainDialog::OnInitDialog() {
  if (HMENU menu = GetSystemMenu(hwnd_, FALSE); menu != nullptr) {
    const std::wstring about = ResourceString(IDS_ABOUTBOX);
    if (!about.empty()) {
      AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about.c_str());
    }
  }
  SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_icon_));
  // A second start finds this window by the property and brings it forward.
  SetPropW(hwnd_, property_name_.c_str(), reinterpret_cast<HANDLE>(1));
  prompt_.SetMainWindow(hwnd_, &wait_cursor_);
  progress_.SetOwner(hwnd_, &wait_cursor_);

  // A file name too long for its field is drawn with its middle left out, so that its end
  // (where the version usually is) stays in sight; the whole path is in the field's tool tip.
  HWND field = GetDlgItem(hwnd_, IDC_FILE_NAME);
  // Until a file is chosen the field shows the template's own prompt, in the template's language.
  std::vector<wchar_t> prompt(256, L'\0');
  choose_file_prompt_.assign(prompt.data(), static_cast<std::size_t>(GetWindowTextW(field, prompt.data(), 256)));
  SetWindowLongPtrW(field, GWL_STYLE, GetWindowLongPtrW(field, GWL_STYLE) | SS_PATHELLIPSIS | SS_NOTIFY);
  file_name_tip_ = CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                   CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                                   Instance(), nullptr);
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(field);
  tool.lpszText = const_cast<wchar_t*>(L"");
  SendMessageW(file_name_tip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));

  model_.OnInitDialog(executable_path_);
  ShowFileName();
  HWND list = GetDlgItem(hwnd_, IDC_COM_LIST);
  SendMessageW(list, CB_RESETCONTENT, 0, 0);
  for (const auto& entry : model_.ComList()) {
    const auto at = SendMessageW(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Widen(entry.text).c_str()));
    SendMessageW(list, CB_SETITEMDATA, static_cast<WPARAM>(at), entry.item_data);
  }
  SendMessageW(list, CB_SETCURSEL, static_cast<WPARAM>(model_.ComSelection()), 0);
  EnableWindow(list, model_.ComListEnabled() ? TRUE : FALSE);
}

void MainDialog::OnSend() {
  if (!IsWindowEnabled(hwnd_)) return;
  model_.OnSend(progress_, prompt_);
}

void MainDialog::OnClose() {
  if (!IsWindowEnabled(hwnd_)) return;
  model_.OnClose();
  End();
}

void MainDialog::End() {
  if (modal_) {
    EndDialog(hwnd_, IDCANCEL);
  } else {
    DestroyWindow(hwnd_);
    hwnd_ = nullptr;
  }
}

void MainDialog::OnBrowse() {
  model_.OnBrowseResult(browse(hwnd_, model_.BrowseStart()));
  ShowFileName();
}

void MainDialog::ShowFileName() {
  const std::wstring shown = model_.settings().MotFile.empty() ? choose_file_prompt_ : Widen(model_.FileNameText());
  SetDlgItemTextW(hwnd_, IDC_FILE_NAME, shown.c_str());
  std::wstring path = Widen(model_.settings().MotFile);
  TOOLINFOW tool{};
  tool.cbSize = TTTOOLINFOW_V2_SIZE;
  tool.hwnd = hwnd_;
  tool.uId = reinterpret_cast<UINT_PTR>(GetDlgItem(hwnd_, IDC_FILE_NAME));
  tool.lpszText = path.data();
  SendMessageW(file_name_tip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
}

void MainDialog::OnComSelChange() {
  const auto index = SendDlgItemMessageW(hwnd_, IDC_COM_LIST, CB_GETCURSEL, 0, 0);
  model_.OnComSelChange(static_cast<int>(index));
}

void MainDialog::OnPaintMinimised() {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(hwnd_, &paint);
  SendMessageW(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(hwnd_, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon_);
  EndPaint(hwnd_, &paint);
}

std::optional<std::string> ShowOpenFileDialog(HWND owner, const BrowseRequest& request) {
  // "display|pattern||" becomes the dialog's NUL-separated list.
  std::wstring filter = ResourceText(request.filter);
  for (auto& c : filter) {
    if (c == L'|') c = L'\0';
  }
  const std::wstring title = ResourceText(request.title);
  const std::wstring start = Widen(request.start_directory);
  std::vector<wchar_t> file(2600, L'\0');
  const std::wstring initial = Widen(request.file_name);
  initial.copy(file.data(), std::min(initial.size(), file.size() - 1));
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = title.c_str();
  dialog.lpstrInitialDir = request.file_name.empty() ? start.c_str() : nullptr;
  dialog.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetOpenFileNameW(&dialog)) return std::nullopt;
  return Narrow(file.data());
}

bool ActivateRunningCopy(const std::wstring& base_name) {
  HWND found = nullptr;
  for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
    if (GetPropW(w, base_name.c_str()) != nullptr) {
      found = w;
      break;
    }
  }
  if (found == nullptr) return false;
  if (IsIconic(found)) ShowWindow(found, SW_RESTORE);
  BringWindowToTop(found);
  HWND popup = GetLastActivePopup(found);
  if (popup == found) {
    SetForegroundWindow(found);
  } else {
    BringWindowToTop(popup);
    SetForegroundWindow(popup);
  }
  return true;
}

}  // namespace quillon::win32
