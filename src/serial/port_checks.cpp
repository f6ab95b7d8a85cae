#include "serial/port_checks.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#ifdef _WIN32
#include <windows.h>

#include "base/wide_text.h"
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/serial.h>
#endif
#endif

namespace quillon {

namespace fs = std::filesystem;

bool NothingBlocks(const std::vector<Finding>& findings) {
  return std::none_of(findings.begin(), findings.end(), [](const Finding& f) { return f.blocking && !f.ok; });
}

namespace {

Finding Ok(std::string check, std::string detail, bool blocking = true) {
  return {std::move(check), true, blocking, std::move(detail), {}};
}

Finding Failed(std::string check, std::string detail, std::string fix, bool blocking = true) {
  return {std::move(check), false, blocking, std::move(detail), std::move(fix)};
}

}  // namespace

#ifdef _WIN32
std::vector<Finding> CheckPort(const std::string& device, const PortCheckOptions&) {
  const std::wstring name = Widen(device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    CloseHandle(handle);
    return {Ok("port.access", device + " can be opened for reading and writing")};
  }
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
    return {Failed("port.exists", device + " does not exist", "Plug the adapter in, or pick a port quillon-cli ports lists.")};
  }
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
    return {Failed("port.holder", device + " is in use by another program",
                   "Close the program that uses the port (a terminal, another flasher), then try again.")};
  }
  return {Failed("port.access", device + " cannot be opened (Windows error " + std::to_string(error) + ")",
                 "Check the adapter's driver in the Device Manager.")};
}
#else
namespace {

std::string ReadFirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Processes (pid, command) whose command is `name`, under root/proc.
std::vector<std::pair<std::string, std::string>> ProcessesNamed(const fs::path& root, const std::string& name) {
  std::vector<std::pair<std::string, std::string>> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    if (ReadFirstLine(entry.path() / "comm") == name) found.emplace_back(pid, name);
  }
  return found;
}

struct Holders {
  std::vector<std::pair<std::string, std::string>> seen;  ///< pid, command
  bool some_unseen = false;                                ///< processes whose fds we may not read
};

// Who holds `device` open, through root/proc/*/fd (this process left out).
Holders FindHolders(const fs::path& root, const fs::path& device) {
  Holders holders;
  const std::string self = std::to_string(::getpid());
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(root / "proc", error)) {
    const std::string pid = entry.path().filename().string();
    if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
    std::error_code fd_error;
    fs::directory_iterator fds(entry.path() / "fd", fd_error);
    if (fd_error) {
      holders.some_unseen = true;
      continue;
    }
    for (const auto& fd : fds) {
      std::error_code link_error;
      if (fs::read_symlink(fd.path(), link_error) == device) {
        holders.seen.emplace_back(pid, ReadFirstLine(entry.path() / "comm"));
        break;
      }
    }
  }
  return holders;
}

std::string GroupName(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

}  // namespace

std::vector<Finding> CheckPort(const std::string& device, const PortCheckOptions& options) {
  std::vector<Finding> findings;
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) {
    findings.push_back(Failed("port.exists", device + " does not exist",
                              "Plug the adapter in, or pick a port that quillon-cli ports lists."));
    return findings;
  }
  findings.push_back(Ok("port.exists", device + " exists"));
  if (!S_ISCHR(st.st_mode)) {
    findings.push_back(Failed("port.serial", device + " is not a serial device (not a character device)",
                              "Name the serial device itself, such as /dev/ttyUSB0 (quillon-cli ports lists them)."));
    return findings;
  }
  std::error_code error;
  const fs::path real = fs::canonical(device, error);
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int open_error = fd < 0 ? errno : 0;
  if (fd >= 0 && !::isatty(fd)) {
    ::close(fd);
    findings.push_back(Failed("port.serial", device + " is not a serial device (not a terminal)",
                              "Name the serial device itself, such as /dev/ttyUSB0 (quillon-cli ports lists them)."));
    return findings;
  }
  findings.push_back(Ok("port.serial", device + " is a serial device"));
  if (open_error == EACCES || open_error == EPERM) {
    const std::string group = GroupName(st.st_gid);
    findings.push_back(Failed("port.access", device + " may not be read and written by this user; it belongs to the group " + group,
                              "sudo usermod -aG " + group + " $USER, then log out and in again (a new login is needed)."));
    return findings;
  }
  const Holders holders = FindHolders(options.root, real.empty() ? fs::path(device) : real);
  if (!holders.seen.empty()) {
    std::string who;
    for (const auto& [pid, command] : holders.seen) who += (who.empty() ? "" : ", ") + command + " (PID " + pid + ")";
    findings.push_back(Failed("port.holder", device + " is held open by " + who,
                              "Close that program (kill " + holders.seen.front().first + "), or pick another port."));
  } else if (open_error == EBUSY || (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0)) {
    findings.push_back(Failed("port.holder", device + " is held by another user's process; `sudo fuser " + device +
                                                  "` names it",
                              "Close that program, or pick another port."));
  } else if (open_error != 0) {
    findings.push_back(Failed("port.access", device + " cannot be opened: " + std::strerror(open_error),
                              "Check the adapter and its driver (dmesg shows what the kernel says)."));
  } else {
    findings.push_back(Ok("port.access", device + " can be opened for reading and writing"));
    findings.push_back(Ok("port.holder", "no other program holds " + device + " open"));
  }
  if (options.everything) {
    const bool usb = real.filename().string().rfind("ttyUSB", 0) == 0 || real.filename().string().rfind("ttyACM", 0) == 0;
    // ModemManager probes new ports with AT commands unless udev tagged them to be left alone.
    const auto modem_manager = ProcessesNamed(options.root, "ModemManager");
    const std::string udev = (options.root / "run/udev/data" /
                              ("c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev))))
                                 .string();
    std::ifstream tags(udev);
    bool ignored = false;
    for (std::string line; std::getline(tags, line);) ignored = ignored || line == "E:ID_MM_DEVICE_IGNORE=1";
    if (!modem_manager.empty() && !ignored) {
      findings.push_back(Failed("port.modemmanager", "ModemManager (PID " + modem_manager.front().first + ") runs and may probe " + device,
                                "Install the rule /usr/share/doc/quillon/examples/60-quillon-serial-adapters.rules into "
                                "/etc/udev/rules.d/, or stop it: sudo systemctl stop ModemManager."));
    } else {
      findings.push_back(Ok("port.modemmanager", modem_manager.empty() ? "ModemManager does not run" : "ModemManager leaves " + device + " alone"));
    }
    const auto brltty = ProcessesNamed(options.root, "brltty");
    if (!brltty.empty() && usb) {
      findings.push_back(Failed("port.brltty", "brltty (PID " + brltty.front().first + ") runs and claims some USB serial adapters",
                                "Remove it if no braille display is used: sudo apt remove brltty."));
    } else {
      findings.push_back(Ok("port.brltty", brltty.empty() ? "brltty does not run" : "brltty runs, but " + device + " is not a USB adapter"));
    }
    const fs::path timer = options.root / "sys/bus/usb-serial/devices" / real.filename() / "latency_timer";
    if (fs::exists(timer, error)) {
      const std::string value = ReadFirstLine(timer);
      if (value == "0" || value == "1") {
        findings.push_back(Ok("usb.latency_timer", "the adapter's latency timer is " + value + " ms", false));
      } else {
        findings.push_back(Failed("usb.latency_timer", "the adapter's latency timer is " + value + " ms: each answer may wait that long",
                                  "quillon sets low-latency mode when it opens the port; to make it last: echo 1 | sudo tee " +
                                      timer.string(),
                                  false));
      }
    }
#ifdef __linux__
    if (fd >= 0) {
      serial_struct serial{};
      const bool settable = ::ioctl(fd, TIOCGSERIAL, &serial) == 0 && [&] {
        const int before = serial.flags;
        serial.flags |= ASYNC_LOW_LATENCY;
        const bool set = ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
        serial.flags = before;
        if (set) ::ioctl(fd, TIOCSSERIAL, &serial);
        return set;
      }();
      if (settable) {
        findings.push_back(Ok("port.low_latency", "low-latency mode can be set on " + device, false));
      } else {
        findings.push_back(Failed("port.low_latency", "the driver of " + device + " does not take low-latency mode",
                                  "Nothing to do for a built-in port or a simulated one; a USB adapter answers more slowly.",
                                  false));
      }
    }
#endif
  }
  if (fd >= 0) ::close(fd);
  return findings;
}
#endif

}  // namespace quillon
