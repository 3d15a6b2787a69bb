#include "gdb_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ostream>

namespace peiboard::gdb {
namespace {

std::string system_error(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Expected<Listener> listen_loopback(uint16_t port) {
  Listener listener{Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)), 0};
  if (!listener.socket.open()) return Error{system_error("gdb stub: socket")};
  const int one = 1;
  ::setsockopt(listener.socket.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener.socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return Error{system_error("gdb stub: cannot listen on 127.0.0.1:" + std::to_string(port))};
  }
  if (::listen(listener.socket.fd(), 1) != 0) return Error{system_error("gdb stub: listen")};
  socklen_t length = sizeof address;
  if (::getsockname(listener.socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return Error{system_error("gdb stub: getsockname")};
  }
  listener.port = ntohs(address.sin_port);
  return listener;
}

Expected<Socket> accept_client(Listener listener) {
  int fd = -1;
  do {
    fd = ::accept4(listener.socket.fd(), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error{system_error("gdb stub: accept")};
  // Every packet is a round trip the debugger waits for: send each at once.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return Socket(fd);
}

Expected<Socket> wait_for_debugger(uint16_t port, std::ostream& log) {
  auto listener = listen_loopback(port);
  if (!listener) return listener.error();
  log << "peiboard: waiting for GDB on 127.0.0.1:" << listener->port
      << " (target remote 127.0.0.1:" << listener->port << ")" << std::endl;
  return accept_client(std::move(listener).value());
}

void Connection::close() {
  client_.close();
  pending_.clear();
}

std::optional<Incoming> Connection::receive() {
  if (!pending_.empty()) {
    Incoming in = std::move(pending_.front());
    pending_.pop_front();
    return in;
  }
  while (client_.open()) {
    if (auto in = reader_.next()) return in;
    char bytes[4096];
    const ssize_t n = ::recv(client_.fd(), bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::nullopt;
    reader_.feed({bytes, static_cast<size_t>(n)});
  }
  return std::nullopt;
}

Connection::Poll Connection::poll() {
  pollfd ready{client_.fd(), POLLIN, 0};
  while (client_.open() && ::poll(&ready, 1, 0) > 0) {
    char bytes[4096];
    const ssize_t n = ::recv(client_.fd(), bytes, sizeof bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close();
      return Poll::kHungUp;
    }
    reader_.feed({bytes, static_cast<size_t>(n)});
  }
  bool interrupt = false;
  while (auto in = reader_.next()) {
    if (in->kind == Incoming::Kind::kInterrupt) {
      interrupt = true;
    } else if (in->kind != Incoming::Kind::kAck) {
      pending_.push_back(std::move(*in));  // served at the next stop
    }
  }
  return interrupt ? Poll::kInterrupt : Poll::kQuiet;
}

Connection::Delivery Connection::send_packet(std::string_view payload) {
  last_sent_ = frame(payload);
  return send_raw(last_sent_);
}

Connection::Delivery Connection::send_raw(std::string_view bytes) {
  if (!client_.open()) return Delivery::kClosed;
  while (!bytes.empty()) {
    const ssize_t n = ::send(client_.fd(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close();
      return Delivery::kHungUp;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return Delivery::kDelivered;
}

}  // namespace peiboard::gdb
