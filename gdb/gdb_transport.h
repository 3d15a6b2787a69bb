// The debugger's connection: a loopback listening socket, the one client it accepts, and the
// bytes to and from that client. Connection owns the client socket, splits what arrives into
// packets (gdb_protocol.h) and keeps what arrived while the guest ran for the next stop; it
// knows nothing of the board or of what the packets ask.
#pragma once

#include <cstdint>
#include <deque>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "expected.h"
#include "gdb_protocol.h"

namespace peiboard::gdb {

// An owned socket descriptor, closed with its owner.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  ~Socket() { close(); }
  int fd() const { return fd_; }
  bool open() const { return fd_ >= 0; }
  void close();

 private:
  int fd_ = -1;
};

// A listening socket on 127.0.0.1:port; port 0 lets the system choose a free one.
struct Listener {
  Socket socket;
  uint16_t port = 0;  // the port it listens on
};
Expected<Listener> listen_loopback(uint16_t port);
// Waits for one client and stops listening.
Expected<Socket> accept_client(Listener listener);

// For `peiboard run --gdb PORT`: listens on 127.0.0.1:PORT (0: a free port), says where on
// `log`, and waits for the debugger.
Expected<Socket> wait_for_debugger(uint16_t port, std::ostream& log);

// The client's side of the conversation.
class Connection {
 public:
  // How a send went.
  enum class Delivery : uint8_t {
    kDelivered,  // every byte went out
    kClosed,     // the connection was closed before: nothing was sent
    kHungUp,     // the client went while the bytes were sent: the connection is closed now
  };
  // What a look for Ctrl-C found.
  enum class Poll : uint8_t {
    kQuiet,      // no Ctrl-C; packets that came are kept for receive()
    kInterrupt,  // the client sent Ctrl-C
    kHungUp,     // the client went: the connection is closed now
  };

  explicit Connection(Socket client) : client_(std::move(client)) {}
  bool open() const { return client_.open(); }
  // Closes the socket and drops what arrived and was not received.
  void close();

  // The next thing the client sent (first what poll() kept), waiting for it; none when the
  // client went or the connection is closed.
  std::optional<Incoming> receive();
  // Reads what has arrived without waiting, looking for Ctrl-C.
  Poll poll();
  // Frames `payload` and sends it; it is the packet resend_last() repeats.
  Delivery send_packet(std::string_view payload);
  Delivery resend_last() { return send_raw(last_sent_); }
  // Sends bytes as they are (an ack or a nack).
  Delivery send_raw(std::string_view bytes);

 private:
  Socket client_;
  PacketReader reader_;
  std::deque<Incoming> pending_;  // what arrived while the guest ran, after a Ctrl-C check
  std::string last_sent_;
};

}  // namespace peiboard::gdb
