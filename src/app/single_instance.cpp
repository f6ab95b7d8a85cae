#include "app/single_instance.h"

#include <QDir>
#include <QLocalSocket>
#include <QThread>
#include <QStandardPaths>
#include <unistd.h>

namespace quillon::app {

SingleInstance::SingleInstance(const QString& base_name) {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (folder.isEmpty()) folder = QDir::tempPath();
  lock_path_ = folder + "/" + base_name + ".lock";
  // One per user: another user's copy is no reason to stop.
  server_name_ = base_name + "-" + QString::number(::getuid());
}

bool SingleInstance::Acquire() {
  lock_ = std::make_unique<QLockFile>(lock_path_);
  // A lock left by a copy that crashed is taken over (QLockFile checks that its owner lives).
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) return false;
  QLocalServer::removeServer(server_name_);
  server_ = std::make_unique<QLocalServer>();
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  server_->listen(server_name_);
  QObject::connect(server_.get(), &QLocalServer::newConnection, [this] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
      socket->write("shown\n");
      socket->flush();
      if (show_) show_();
    }
  });
  return true;
}

bool SingleInstance::AskFirstToShow() {
  QLocalSocket socket;
  // The first copy takes the lock a moment before it listens: a start in that moment tries
  // again for up to two seconds.
  for (int attempt = 0; attempt < 20; ++attempt) {
    socket.connectToServer(server_name_);
    if (socket.waitForConnected(100)) return socket.waitForReadyRead(2000);
    socket.abort();
    QThread::msleep(100);
  }
  return false;
}

void SingleInstance::OnShowRequest(std::function<void()> show) { show_ = std::move(show); }

}  // namespace quillon::app
