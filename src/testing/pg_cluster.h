#pragma once
// A throwaway PostgreSQL cluster for a test: made with initdb in a folder of its own, serving on
// a Unix socket there and on a free TCP port of 127.0.0.1, stopped and removed at the end. Run
// as an unprivileged user (nobody) when the test runs as root, which PostgreSQL refuses.

#include <filesystem>
#include <string>

namespace quillon::testing {

class PgCluster {
 public:
  PgCluster();
  ~PgCluster();
  PgCluster(const PgCluster&) = delete;
  PgCluster& operator=(const PgCluster&) = delete;

  /// Whether the cluster was made and started (else `error()` says why).
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  /// Where it listens on TCP, as a connection URL (its superuser, no password needed).
  std::string Url() const;
  /// The same server through its Unix socket, as key=value words.
  std::string SocketUrl() const;
  int port() const { return port_; }
  /// pg_ctl stop: "immediate" stops it hard (no shutdown checkpoint), "fast" cleanly.
  bool Stop(const std::string& mode = "fast");
  bool Start();
  /// A query through psql; its output (unaligned, tuples only) or "" with the test failed.
  std::string Psql(const std::string& sql) const;

 private:
  std::string Run(const std::string& command) const;

  std::filesystem::path dir_;
  std::string bin_;
  std::string as_user_;  ///< the prefix that runs a command as the cluster's owner
  int port_ = 0;
  bool ok_ = false;
  bool running_ = false;
  std::string error_;
};

/// A free TCP port of 127.0.0.1 (bound and let go).
int FreePort();

}  // namespace quillon::testing
