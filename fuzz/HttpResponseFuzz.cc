// Arbitrary bytes, then an early close, as a server's answer to the InfluxDB
// transport: the parser must end with a code, never crash, hang or overread.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "InfluxHttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fds[2];  // the input is written whole before the read: it must fit the socket buffer
  if (size > 32 * 1024 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  for (ssize_t sent = 0, n = 0; sent < ssize_t(size) && (n = write(fds[1], data + sent, size - sent)) > 0;) sent += n;
  shutdown(fds[1], SHUT_WR);
  std::string body;
  bool keepOpen = false;  // the connection header and the framing judged too
  VESK::influx::read_response(fds[0], 1000, &body, nullptr, &keepOpen);
  close(fds[0]);
  close(fds[1]);
  return 0;
}
