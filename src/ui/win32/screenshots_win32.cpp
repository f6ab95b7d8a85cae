// Renders the Windows program's three windows to PNG files, under Wine on a virtual display:
// quillon-win32-screenshots FOLDER

#include <windows.h>
#include <commctrl.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "resource.h"
#include "base/seams.h"
#include "base/wide_text_win32.h"
#include "serial/comm_driver.h"
#include "ui/main_window_model.h"
#include "ui/win32/win32_views.h"

namespace {

std::uint32_t Crc32(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0) {
  crc = ~crc;
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void Chunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& body) {
  Put32(png, static_cast<std::uint32_t>(body.size()));
  std::vector<std::uint8_t> typed(type, type + 4);
  typed.insert(typed.end(), body.begin(), body.end());
  png.insert(png.end(), typed.begin(), typed.end());
  Put32(png, Crc32(typed.data(), typed.size()));
}

// An RGB PNG with stored (uncompressed) deflate blocks: small code, no library needed.
void WritePng(const std::filesystem::path& path, int width, int height, const std::vector<std::uint8_t>& bgra) {
  std::vector<std::uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    for (int x = 0; x < width; ++x) {
      const std::uint8_t* p = &bgra[(static_cast<std::size_t>(y) * width + x) * 4];
      raw.insert(raw.end(), {p[2], p[1], p[0]});
    }
  }
  std::vector<std::uint8_t> z{0x78, 0x01};
  std::uint32_t a = 1, b = 0;
  for (auto byte : raw) {
    a = (a + byte) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n >= raw.size() ? 1 : 0);
    z.insert(z.end(), {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                       static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)});
    z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at), raw.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (n == 0) break;
  }
  Put32(z, (b << 16) | a);
  std::vector<std::uint8_t> png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<std::uint8_t> header;
  Put32(header, static_cast<std::uint32_t>(width));
  Put32(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", {});
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                              static_cast<std::streamsize>(png.size()));
}

void Capture(HWND window, const std::filesystem::path& path) {
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);
  MSG message;
  for (int i = 0; i < 50; ++i) {
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    Sleep(10);
  }
  RECT r;
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  std::vector<std::uint8_t> pixels(static_cast<const std::uint8_t*>(bits),
                                   static_cast<const std::uint8_t*>(bits) + static_cast<std::size_t>(w) * h * 4);
  WritePng(path, w, h, pixels);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

}  // namespace

int main(int argc, char** argv) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  const std::filesystem::path folder = argc > 1 ? argv[1] : ".";
  std::filesystem::create_directories(folder);
  const auto home = std::filesystem::temp_directory_path() / "quillon-screenshots";
  std::filesystem::create_directories(home);
  quillon::MainWindowModel model(quillon::MakePlatformCommDriver(), std::make_unique<quillon::ThreadPause>());
  quillon::win32::MainDialog dialog(model, quillon::Narrow((home / "quillon.exe").wstring()));
  HWND main = dialog.CreateModeless();
  SetWindowPos(main, nullptr, 20, 20, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  Capture(main, folder / "win32-main-window.png");
  quillon::win32::Win32ProgressSink progress;
  progress.SetOwner(main, nullptr);
  progress.SetTextAndRange("バージョンアップデータを転送中です。", 10, quillon::Transfer::kUpdate);
  progress.Show();
  for (int i = 0; i < 6; ++i) progress.StepAndPump();
  Capture(progress.window(), folder / "win32-progress-window.png");
  progress.Close();
  HWND about = CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_ABOUTBOX), main, nullptr, 0);
  Capture(about, folder / "win32-about-box.png");
  DestroyWindow(about);
  return 0;
}
