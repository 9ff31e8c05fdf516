#pragma once
// The TCP connection of the opc.tcp client: connect (host-name lookup
// included), send and receive, each bounded by one deadline.
//
// Blocking: every call waits at most until its deadline.
// Ownership: owns the socket, closed by the destructor.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace VESK::DAQ::ua {

class Socket {
 public:
  using Clock = std::chrono::steady_clock;

  Socket() = default;
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool Connect(const std::string& host, int port, Clock::time_point deadline, std::string& why);
  // Send and Receive check the deadline on every turn: a peer that keeps
  // the socket ready (a flood, a trickle) cannot stretch them past it.
  bool Send(const uint8_t* data, size_t size, Clock::time_point deadline, std::string& why);
  bool Receive(uint8_t* data, size_t size, Clock::time_point deadline, std::string& why);
  // False once the peer closed the connection or sent something unasked
  // (an error message before closing); never blocks.
  bool Alive();

 private:
  bool Wait(short events, Clock::time_point deadline);
  int _fd = -1;
};

}  // namespace VESK::DAQ::ua
