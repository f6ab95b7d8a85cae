#include <windows.h>

#include "base/child_process.h"
#include "base/wide_text_win32.h"

namespace quillon {
namespace {

// A handle closed with its owner.
struct Handle {
  HANDLE value = nullptr;
  ~Handle() {
    if (value != nullptr && value != INVALID_HANDLE_VALUE) CloseHandle(value);
  }
};

// This process's environment with `added` put in (replacing a variable of the same name), as
// the block CreateProcessW takes.
std::wstring Block(const Environment& added) {
  std::wstring block;
  if (wchar_t* strings = GetEnvironmentStringsW(); strings != nullptr) {
    for (const wchar_t* at = strings; *at != L'\0'; at += wcslen(at) + 1) {
      const std::wstring variable = at;
      const std::wstring name = variable.substr(0, variable.find(L'=', 1));
      bool replaced = false;
      for (const auto& [added_name, value] : added) replaced = replaced || _wcsicmp(Widen(added_name).c_str(), name.c_str()) == 0;
      if (!replaced) block += variable + L'\0';
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : added) block += Widen(name) + L"=" + Widen(value) + L'\0';
  block += L'\0';
  return block;
}

}  // namespace

ChildOutcome RunCommand(const std::string& command, const Environment& added, std::chrono::milliseconds limit) {
  wchar_t shell[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"ComSpec", shell, MAX_PATH) == 0) wcscpy(shell, L"cmd.exe");
  std::wstring line = L"\"" + std::wstring(shell) + L"\" /d /s /c \"" + Widen(command) + L"\"";
  std::wstring environment = Block(added);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle nul{CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                         nullptr)};
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = nul.value;
  // A job, so that the time limit ends whatever the command started.
  Handle job{CreateJobObjectW(nullptr, nullptr)};
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED, environment.data(), nullptr,
                      &startup, &process)) {
    return {ChildOutcome::Kind::kNotStarted, 0, "Windows error " + std::to_string(GetLastError())};
  }
  const Handle owned_process{process.hProcess}, owned_thread{process.hThread};
  if (job.value != nullptr) AssignProcessToJobObject(job.value, process.hProcess);
  ResumeThread(process.hThread);
  const auto milliseconds = static_cast<DWORD>(std::min<long long>(limit.count(), INFINITE - 1));
  if (WaitForSingleObject(process.hProcess, milliseconds) == WAIT_TIMEOUT) {
    if (job.value != nullptr) TerminateJobObject(job.value, 1);
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    return {ChildOutcome::Kind::kTimedOut, 0, ""};
  }
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  return {ChildOutcome::Kind::kExited, static_cast<int>(code), ""};
}

}  // namespace quillon
