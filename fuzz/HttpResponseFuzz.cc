// Feeds arbitrary bytes to the InfluxDB transport's response parser through a
// real stream socket, as a server would send them, then closes the stream.
// Whatever arrives, the parser must end with a code (no crash, no hang, no
// read past its buffer).
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "InfluxHttp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input must fit the socket buffer: it is written before reading.
  if (size > 32 * 1024) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  size_t sent = 0;
  while (sent < size) {
    ssize_t n = write(fds[1], data + sent, size - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);  // early close is part of what is fuzzed
  std::string body;
  int rc = VESK::influx::read_response(fds[0], 1000, &body);
  (void)rc;
  close(fds[0]);
  close(fds[1]);
  return 0;
}
