// One app per data directory. The first launch holds a lock file and listens on a local
// socket, both named after the canonical data directory and kept in the user's runtime
// directory; a later launch finds the lock taken and hands its arguments and its activation
// token to the first through the socket instead of starting.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

namespace orvane {

class SingleInstance : public QObject {
  Q_OBJECT

 public:
  enum class Role {
    first,       // this process runs the app
    handedOver,  // the first has taken the arguments; this process should exit
    noAnswer,    // the lock is held by a process that does not take them
  };

  explicit SingleInstance(const QString& dataDirectory, QObject* parent = nullptr);

  // Blocks for at most a minute: a first instance in its card run answers when it is done.
  Role claim(const QStringList& arguments, const QByteArray& activationToken = {});

 signals:
  // In the first instance, for every later launch, with that launch's arguments (without the
  // program name) and activation token, after which the later launch exits.
  void launchRequested(const QStringList& arguments, const QByteArray& activationToken);

 private:
  enum class HandOver { done, nobodyListens, noAnswer };
  HandOver handOver(const QStringList& arguments, const QByteArray& activationToken) const;
  void receive();

  QString socketPath_;
  QLockFile lock_;
  QLocalServer server_;
};

}  // namespace orvane
