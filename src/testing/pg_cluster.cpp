#include "testing/pg_cluster.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "testing/temp_dir.h"

namespace quillon::testing {
namespace {

// The newest PostgreSQL's programs that Debian installed.
std::string BinDir() {
  std::string found;
  std::error_code failed;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", failed)) {
    const auto bin = entry.path() / "bin";
    if (std::filesystem::exists(bin / "initdb") && bin.string() > found) found = bin.string();
  }
  return found;
}

// The text as one word of sh.
std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

}  // namespace

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

PgCluster::PgCluster() {
  bin_ = BinDir();
  if (bin_.empty()) {
    error_ = "PostgreSQL is not installed (scripts/setup installs it)";
    return;
  }
  char name[] = "/tmp/quillon-pg-XXXXXX";
  if (::mkdtemp(name) == nullptr) {
    error_ = "cannot make a folder for the cluster";
    return;
  }
  dir_ = name;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                         std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                         std::filesystem::perms::others_exec);
  if (::geteuid() == 0) {
    if (::chown(dir_.c_str(), 65534, 65534) != 0) {
      error_ = "cannot give the cluster's folder to nobody";
      return;
    }
    as_user_ = "setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=" + dir_.string() + " ";
  }
  const std::string made = Run(bin_ + "/initdb -D " + Quote((dir_ / "data").string()) +
                               " -U quillon --auth=trust -E UTF8 --no-locale --no-sync > " +
                               Quote((dir_ / "initdb.log").string()) + " 2>&1 && echo made");
  if (made.find("made") == std::string::npos) {
    error_ = "initdb failed: " + ReadFileBytes(dir_ / "initdb.log");
    return;
  }
  port_ = FreePort();
  ok_ = Start();
}

PgCluster::~PgCluster() {
  if (running_) Stop("immediate");
  std::error_code ignored;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

std::string PgCluster::Url() const { return "postgresql://quillon@127.0.0.1:" + std::to_string(port_) + "/postgres"; }

std::string PgCluster::SocketUrl() const {
  return "host=" + dir_.string() + " port=" + std::to_string(port_) + " user=quillon dbname=postgres";
}

bool PgCluster::Start() {
  // Durability is not what these tests are about: no fsync keeps them quick.
  const std::string options = "-k " + dir_.string() + " -p " + std::to_string(port_) +
                              " -c listen_addresses=127.0.0.1 -c fsync=off -c full_page_writes=off";
  const std::string out = Run(bin_ + "/pg_ctl -D " + Quote((dir_ / "data").string()) + " -l " +
                              Quote((dir_ / "server.log").string()) + " -w -t 60 -o " + Quote(options) +
                              " start > /dev/null 2>&1 && echo started");
  running_ = out.find("started") != std::string::npos;
  if (!running_) error_ = "pg_ctl start failed: " + ReadFileBytes(dir_ / "server.log");
  return running_;
}

bool PgCluster::Stop(const std::string& mode) {
  const std::string out = Run(bin_ + "/pg_ctl -D " + Quote((dir_ / "data").string()) + " -m " + mode +
                              " -w -t 60 stop > /dev/null 2>&1 && echo stopped");
  const bool stopped = out.find("stopped") != std::string::npos;
  if (stopped) running_ = false;
  return stopped;
}

std::string PgCluster::Psql(const std::string& sql) const {
  return Run(bin_ + "/psql -X -q -A -t -v ON_ERROR_STOP=1 " + Quote(SocketUrl()) + " -c " + Quote(sql) + " 2>&1");
}

std::string PgCluster::Run(const std::string& command) const {
  const auto out = dir_ / ("run-" + std::to_string(::getpid()) + ".out");
  const std::string line = as_user_ + "sh -c " + Quote(command) + " > " + Quote(out.string());
  RunShell(line);
  std::string text = ReadFileBytes(out);
  std::error_code ignored;
  std::filesystem::remove(out, ignored);
  return text;
}

}  // namespace quillon::testing
