// The lock decides who is first, so two launches at the same moment cannot both remove and
// re-create the socket. The kernel drops the lock's flock when its holder dies, even by
// SIGKILL, and QLockFile then treats the file as stale and takes it over; whoever holds the
// lock may therefore remove a socket left behind. A message is the argument list in a
// QDataStream, then the activation token; the first instance acts on it and then answers with
// one byte.
#include "SingleInstance.hpp"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDir>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

namespace orvane {

namespace {

constexpr QDataStream::Version streamVersion = QDataStream::Qt_6_0;
// Covers a first instance busy with its card run (at most 30 s) and then some.
constexpr int answerLimitMs = 60'000;
constexpr int connectLimitMs = 2000;
// A first instance between taking the lock and listening is given this long to listen.
constexpr int listenAttempts = 50;
constexpr unsigned long listenPauseMs = 100;
// Arguments of a launch are a few hundred bytes at most.
constexpr qint64 messageLimit = 64 * 1024;

QString instanceName(const QString& dataDirectory) {
  // The directory may not exist before the first card run: its cleaned absolute path stands.
  const QFileInfo info(dataDirectory);
  const QString canonical =
      info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
  const QByteArray digest =
      QCryptographicHash::hash(QFile::encodeName(canonical), QCryptographicHash::Sha256);
  QString directory = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
  if (directory.isEmpty())
    directory = QDir::tempPath();
  // Hashed: a socket path must fit in 108 bytes, whatever the data directory's length.
  return directory + QStringLiteral("/OrvaneBridgeApp-") +
         QString::fromLatin1(digest.toHex().left(24));
}

}  // namespace

SingleInstance::SingleInstance(const QString& dataDirectory, QObject* parent)
    : QObject(parent),
      socketPath_(instanceName(dataDirectory) + QStringLiteral(".socket")),
      lock_(instanceName(dataDirectory) + QStringLiteral(".lock")) {
  // Held for the app's whole life: only a dead holder makes it stale, never its age.
  lock_.setStaleLockTime(0);
}

SingleInstance::Role SingleInstance::claim(const QStringList& arguments,
                                           const QByteArray& activationToken) {
  for (int attempt = 0; attempt < listenAttempts; ++attempt) {
    if (lock_.tryLock(0) || lock_.error() != QLockFile::LockFailedError) {
      // A runtime directory that cannot hold the lock must not keep the app from starting.
      QLocalServer::removeServer(socketPath_);
      server_.setSocketOptions(QLocalServer::UserAccessOption);
      if (server_.listen(socketPath_))
        connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::receive);
      return Role::first;
    }
    switch (handOver(arguments, activationToken)) {
      case HandOver::done:
        return Role::handedOver;
      case HandOver::noAnswer:
        return Role::noAnswer;
      case HandOver::nobodyListens:
        QThread::msleep(listenPauseMs);
        break;
    }
  }
  return Role::noAnswer;
}

SingleInstance::HandOver SingleInstance::handOver(const QStringList& arguments,
                                                  const QByteArray& activationToken) const {
  QLocalSocket socket;
  socket.connectToServer(socketPath_);
  if (!socket.waitForConnected(connectLimitMs))
    return HandOver::nobodyListens;
  QDataStream message(&socket);
  message.setVersion(streamVersion);
  message << arguments << activationToken;
  socket.flush();
  while (socket.bytesAvailable() == 0) {
    if (!socket.waitForReadyRead(answerLimitMs))
      return HandOver::noAnswer;
  }
  return HandOver::done;
}

void SingleInstance::receive() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (socket->bytesAvailable() > messageLimit) {
        socket->abort();
        return;
      }
      QDataStream message(socket);
      message.setVersion(streamVersion);
      message.startTransaction();
      QStringList arguments;
      QByteArray activationToken;
      message >> arguments >> activationToken;
      if (!message.commitTransaction())
        return;  // not all of it yet
      emit launchRequested(arguments, activationToken);
      socket->write("\n");
      socket->disconnectFromServer();
    });
  }
}

}  // namespace orvane
