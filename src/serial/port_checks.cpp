#include "serial/port_checks.h"

#include <algorithm>
#include <array>
#include <optional>
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
#include <sys/xattr.h>
#include <unistd.h>

#include <sstream>
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

bool PosixAclGivesUser(std::span<const std::uint8_t> xattr, unsigned uid) {
  // Version 2, then entries of tag (u16), permissions (u16) and id (u32), little-endian.
  constexpr std::uint16_t kUserTag = 0x02;
  constexpr std::uint16_t kReadWrite = 0x06;
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(xattr[at] | (xattr[at + 1] << 8)); };
  auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(u16(at) | (static_cast<std::uint32_t>(u16(at + 2)) << 16)); };
  if (xattr.size() < 4 || u32(0) != 2) return false;
  for (std::size_t at = 4; at + 8 <= xattr.size(); at += 8) {
    if (u16(at) == kUserTag && u32(at + 4) == uid && (u16(at + 2) & kReadWrite) == kReadWrite) return true;
  }
  return false;
}

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

// The device's name as the kernel's tty lists give it: "ttyS0", "pts/3".
std::string KernelTtyName(const fs::path& real) {
  const std::string path = real.string();
  return path.rfind("/dev/", 0) == 0 ? path.substr(5) : real.filename().string();
}

// The kernel console, or a login prompt on the port: our bytes would reach the console or a
// getty, and theirs the device.
Finding ConsoleCheck(const fs::path& root, const std::string& device, const std::string& tty, const Holders& holders) {
  std::istringstream active(ReadFirstLine(root / "sys/class/tty/console/active"));
  for (std::string name; active >> name;) {
    if (name == tty) {
      return Failed("port.console", device + " is the system console: the kernel writes its messages to it",
                    "Pick another port, or take console=" + tty + " off the kernel command line.");
    }
  }
  for (const auto& [pid, command] : holders.seen) {
    if (command.find("getty") != std::string::npos) {
      return Failed("port.console", device + " has a login prompt on it: " + command + " (PID " + pid + ")",
                    "sudo systemctl disable --now serial-getty@" + tty + ".service");
    }
  }
  return Ok("port.console", device + " is neither the system console nor a login prompt");
}

// A package's version from the package manager's status file, if it is installed.
std::optional<std::string> InstalledVersion(const fs::path& root, const std::string& package) {
  std::ifstream status(root / "var/lib/dpkg/status");
  bool in_package = false, installed = false;
  std::optional<std::string> version;
  for (std::string line; std::getline(status, line);) {
    if (line.empty()) {
      if (in_package && installed && version) return version;
      in_package = installed = false;
      version.reset();
    } else if (line.rfind("Package: ", 0) == 0) {
      in_package = line.substr(9) == package;
    } else if (in_package && line.rfind("Status: ", 0) == 0) {
      installed = line.find(" installed") != std::string::npos;
    } else if (in_package && line.rfind("Version: ", 0) == 0) {
      version = line.substr(9);
    }
  }
  if (in_package && installed && version) return version;
  return std::nullopt;
}

// True when a version ("1.10.4-1", "1:1.20.4-1") comes before major.minor.
bool VersionBefore(std::string version, int major_wanted, int minor_wanted) {
  if (const auto epoch = version.find(':'); epoch != std::string::npos) version = version.substr(epoch + 1);
  int major_found = 0, minor_found = 0;
  if (std::sscanf(version.c_str(), "%d.%d", &major_found, &minor_found) < 1) return false;
  return major_found < major_wanted || (major_found == major_wanted && minor_found < minor_wanted);
}

// The USB serial adapters that brltty's udev rules claim, as "vid:pid", when its rules are
// installed and not masked in /etc.
std::vector<std::string> BrlttyClaims(const fs::path& root) {
  static constexpr std::pair<const char*, const char*> kAdapters[] = {
      {"1a86/7523", "1a86:7523 (CH340)"}, {"10c4/ea60", "10c4:ea60 (CP210x)"}, {"0403/6001", "0403:6001 (FTDI)"}};
  std::vector<std::string> claimed;
  std::error_code error;
  for (const char* folder : {"usr/lib/udev/rules.d", "lib/udev/rules.d"}) {
    for (const auto& entry : fs::directory_iterator(root / folder, error)) {
      const std::string name = entry.path().filename().string();
      if (name.find("brltty") == std::string::npos) continue;
      const fs::path local = root / "etc/udev/rules.d" / name;
      if (fs::exists(fs::symlink_status(local, error)) &&
          (fs::read_symlink(local, error) == "/dev/null" || fs::file_size(local, error) == 0)) {
        continue;  // masked
      }
      std::ifstream in(entry.path());
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      for (const auto& [pattern, adapter] : kAdapters) {
        if (text.find(pattern) != std::string::npos &&
            std::find(claimed.begin(), claimed.end(), adapter) == claimed.end()) {
          claimed.emplace_back(adapter);
        }
      }
    }
  }
  return claimed;
}

bool InGroup(gid_t gid) {
  if (::getegid() == gid) return true;
  std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
  const int n = ::getgroups(static_cast<int>(groups.size()), groups.data());
  return std::find(groups.begin(), groups.begin() + std::max(n, 0), gid) != groups.begin() + std::max(n, 0);
}

}  // namespace

namespace {

// The running user reaches the device through the seat's access list (uaccess), not through
// its owner or group.
bool AccessThroughSeat(const std::string& device, const struct stat& st) {
  if (::geteuid() == 0 || ::geteuid() == st.st_uid || InGroup(st.st_gid)) return false;
  std::array<std::uint8_t, 512> acl{};
  const ssize_t n = ::getxattr(device.c_str(), "system.posix_acl_access", acl.data(), acl.size());
  return n > 0 && PosixAclGivesUser(std::span(acl).first(static_cast<std::size_t>(n)), ::geteuid());
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
    // Joining root or tty would give far more than this port: a udev rule gives just it.
    const std::string fix =
        group == "root" || group == "tty"
            ? "Give the port to the group dialout with a udev rule: put SUBSYSTEM==\"tty\", KERNEL==\"" +
                  real.filename().string() +
                  "\", GROUP=\"dialout\", MODE=\"0660\" into /etc/udev/rules.d/70-serial-port.rules, run sudo "
                  "udevadm trigger, and join dialout (sudo usermod -aG dialout $USER; a new login is needed)."
            : "sudo usermod -aG " + group + " $USER, then log out and in again (a new login is needed).";
    findings.push_back(Failed("port.access",
                              device + " may not be read and written by this user; it belongs to the group " + group +
                                  " (a desktop login may get access through uaccess, but a service user has no seat: "
                                  "only the group gives it access)",
                              fix));
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
  } else if (AccessThroughSeat(device, st)) {
    findings.push_back(Ok("port.access", device + " can be opened for reading and writing, through the seat's access "
                                                  "list (uaccess)"));
    findings.push_back(Ok("port.holder", "no other program holds " + device + " open"));
    findings.push_back(Failed("port.seat",
                              "the access to " + device + " comes from the desktop login (uaccess) and ends with it; "
                                  "a service or a job without a login has no seat and no access",
                              "For access that does not depend on a login: sudo usermod -aG " + GroupName(st.st_gid) +
                                  " $USER",
                              false));
  } else {
    findings.push_back(Ok("port.access", device + " can be opened for reading and writing"));
    findings.push_back(Ok("port.holder", "no other program holds " + device + " open"));
  }
  findings.push_back(ConsoleCheck(options.root, device, KernelTtyName(real.empty() ? fs::path(device) : real), holders));
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
    const auto mm_version = InstalledVersion(options.root, "modemmanager");
    const std::string mm_name = "ModemManager" + (mm_version ? " " + *mm_version : std::string());
    if (!modem_manager.empty() && !ignored) {
      findings.push_back(Failed("port.modemmanager", mm_name + " (PID " + modem_manager.front().first + ") runs and may probe " + device,
                                "Install the rule /usr/share/doc/quillon/examples/60-quillon-serial-adapters.rules into "
                                "/etc/udev/rules.d/, or stop it: sudo systemctl stop ModemManager."));
    } else if (!modem_manager.empty() && mm_version && VersionBefore(*mm_version, 1, 12)) {
      // Before 1.12 the tag that tells it to leave a port alone is not honoured in every
      // filter mode (the strict one ignores it).
      findings.push_back(Failed("port.modemmanager", mm_name + " (PID " + modem_manager.front().first +
                                                         ") runs; before 1.12 it may probe " + device +
                                                         " although udev tagged the port to be left alone",
                                "Stop it while updating (sudo systemctl stop ModemManager), or upgrade it to 1.12 or later."));
    } else {
      findings.push_back(Ok("port.modemmanager", modem_manager.empty() ? "ModemManager does not run" : mm_name + " leaves " + device + " alone"));
    }
    const auto brltty = ProcessesNamed(options.root, "brltty");
    if (!brltty.empty() && usb) {
      findings.push_back(Failed("port.brltty", "brltty (PID " + brltty.front().first + ") runs and claims some USB serial adapters",
                                "Remove it if no braille display is used: sudo apt remove brltty."));
    } else {
      findings.push_back(Ok("port.brltty", brltty.empty() ? "brltty does not run" : "brltty runs, but " + device + " is not a USB adapter"));
    }
    if (const auto claims = BrlttyClaims(options.root); !claims.empty()) {
      std::string adapters;
      for (const auto& adapter : claims) adapters += (adapters.empty() ? "" : ", ") + adapter;
      findings.push_back(Failed("brltty.udev",
                                "brltty is installed and its udev rules claim USB serial adapters " + adapters +
                                    ": such an adapter may vanish the moment it is plugged in",
                                "Remove brltty if no braille display is used (sudo apt remove brltty), or mask its "
                                "rules: sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules",
                                false));
    } else {
      findings.push_back(Ok("brltty.udev", "no brltty rule claims USB serial adapters", false));
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
