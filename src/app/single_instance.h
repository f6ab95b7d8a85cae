#pragma once
// Only one copy of the desktop program runs at a time. The first holds a lock named by the
// executable's base name and listens on a local socket; a later start asks it to come to
// the front and ends.

#include <QLockFile>
#include <QLocalServer>
#include <QString>
#include <functional>
#include <memory>

namespace quillon::app {

class SingleInstance {
 public:
  explicit SingleInstance(const QString& base_name);
  /// True when this is the first copy (it now holds the lock and listens).
  bool Acquire();
  /// In a later copy: asks the first to bring its window to the front. True when it answered.
  bool AskFirstToShow();
  /// In the first copy: called when a later copy asks.
  void OnShowRequest(std::function<void()> show);

 private:
  QString lock_path_;
  QString server_name_;
  std::unique_ptr<QLockFile> lock_;
  std::unique_ptr<QLocalServer> server_;
  std::function<void()> show_;
};

}  // namespace quillon::app
