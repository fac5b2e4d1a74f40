// The bridge answers every request, /health included, only with the right bearer code and
// closes the connection after one response, so a check is one plain HTTP/1.1 exchange read to
// the end. The only timers run while a check is under way.
#include "BridgeStatus.hpp"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpSocket>
#include <utility>

namespace orvane {

namespace {

// Long enough for a bridge on a loaded machine; a listener that never answers is not a bridge.
constexpr int answerLimitMs = 5000;
// A starting bridge opens its port within milliseconds; these bound it at about 3 s.
constexpr int firstRetryMs = 50;
constexpr int retries = 6;
// A health answer is a few hundred bytes.
constexpr qsizetype replyLimit = 64 * 1024;

HealthAnswer parseReply(const QByteArray& reply) {
  const qsizetype body = reply.indexOf("\r\n\r\n");
  if (!reply.startsWith("HTTP/1.1 200 ") || body < 0)
    return HealthAnswer::other;
  const QJsonObject answer = QJsonDocument::fromJson(reply.mid(body + 4)).object();
  return answer.value(QLatin1String("ok")).toBool() ? HealthAnswer::ok : HealthAnswer::other;
}

}  // namespace

QString badgeText(BridgeState state, quint16 port) {
  switch (state) {
    case BridgeState::checking:
      return QStringLiteral("Checking Orvane Bridge\u2026");
    case BridgeState::running:
      return QStringLiteral("Orvane Bridge running");
    case BridgeState::runningOutside:
      return QStringLiteral("Orvane Bridge running outside this app");
    case BridgeState::portInUse:
      return QStringLiteral("Port %1 is in use by another program").arg(port);
    case BridgeState::stopped:
      return QStringLiteral("Orvane Bridge stopped");
    case BridgeState::notFound:
      return QStringLiteral("Orvane Bridge not found");
    case BridgeState::notAnswering:
      return QStringLiteral("Orvane Bridge not answering");
  }
  return {};
}

quint16 portOf(const QString& host) {
  bool valid = false;
  const quint16 port = host.section(QLatin1Char(':'), -1).toUShort(&valid);
  return valid && host.contains(QLatin1Char(':')) && port != 0 ? port : 8788;
}

HealthCheck::HealthCheck(QObject* parent) : QObject(parent) {
  limit_.setSingleShot(true);
  limit_.setInterval(answerLimitMs);
  connect(&limit_, &QTimer::timeout, this, [this] { finish(HealthAnswer::other); });
}

HealthCheck::~HealthCheck() {
  drop();
}

void HealthCheck::start(quint16 port, const QString& code, std::function<void(HealthAnswer)> done) {
  drop();
  done_ = std::move(done);
  reply_.clear();
  auto* socket = new QTcpSocket(this);
  socket_ = socket;
  // A proxy from the environment must not stand between the app and a local bridge.
  socket->setProxy(QNetworkProxy::NoProxy);
  const QByteArray request = "GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                             "\r\nAuthorization: Bearer " + code.toUtf8() +
                             "\r\nConnection: close\r\n\r\n";
  connect(socket, &QTcpSocket::connected, socket, [socket, request] { socket->write(request); });
  connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
    reply_ += socket->readAll();
    if (reply_.size() > replyLimit)
      finish(HealthAnswer::other);
  });
  connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
    reply_ += socket->readAll();
    finish(parseReply(reply_));
  });
  connect(socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
    // A closed connection also arrives as `disconnected`, with the whole reply read.
    if (error != QAbstractSocket::RemoteHostClosedError)
      finish(error == QAbstractSocket::ConnectionRefusedError ? HealthAnswer::refused
                                                              : HealthAnswer::other);
  });
  limit_.start();
  socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port);
}

void HealthCheck::finish(HealthAnswer answer) {
  std::function<void(HealthAnswer)> done = std::exchange(done_, nullptr);
  drop();
  if (done)
    done(answer);
}

void HealthCheck::drop() {
  limit_.stop();
  if (QTcpSocket* socket = socket_.data()) {
    socket_.clear();
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
  }
}

BridgeMonitor::BridgeMonitor(std::function<ChildStatus()> child, QObject* parent)
    : QObject(parent), child_(std::move(child)) {
  retry_.setSingleShot(true);
  connect(&retry_, &QTimer::timeout, this, &BridgeMonitor::ask);
}

void BridgeMonitor::check(quint16 port, const QString& code) {
  port_ = port;
  code_ = code;
  retries_ = 0;
  retry_.stop();
  ask();
}

void BridgeMonitor::ask() {
  health_.start(port_, code_, [this](HealthAnswer answer) { answered(answer); });
}

void BridgeMonitor::answered(HealthAnswer answer) {
  const ChildStatus child = child_();
  if (answer == HealthAnswer::ok)
    return settle(child == ChildStatus::running ? BridgeState::running
                                                : BridgeState::runningOutside);
  if (answer == HealthAnswer::other)
    return settle(BridgeState::portInUse);
  if (child == ChildStatus::running) {
    if (retries_ < retries) {
      retry_.start(firstRetryMs << retries_++);
      return;
    }
    return settle(BridgeState::notAnswering);
  }
  settle(child == ChildStatus::notFound ? BridgeState::notFound : BridgeState::stopped);
}

void BridgeMonitor::settle(BridgeState state) {
  state_ = state;
  emit checked(state);
}

}  // namespace orvane
