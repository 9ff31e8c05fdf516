#include "UaSocket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

namespace VESK::DAQ::ua {

namespace {

int RemainingMs(Socket::Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Socket::Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, std::numeric_limits<int>::max()));
}

// getaddrinfo may wait on a name server far past any deadline and cannot be
// interrupted, so a name (not an address) is looked up on a thread of its
// own; a lookup that outlives the deadline is abandoned and its thread frees
// the result when it finally returns.
int LookUp(const std::string& host, int port, Socket::Clock::time_point deadline, addrinfo** out) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  const std::string service = std::to_string(port);
  int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, out);
  if (rc != EAI_NONAME) return rc;
  struct Pending {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false, abandoned = false;
    int rc = EAI_AGAIN;
    addrinfo* list = nullptr;
  };
  auto pending = std::make_shared<Pending>();
  hints.ai_flags = AI_NUMERICSERV;
  try {
    std::thread([pending, host, service, hints] {
      addrinfo* list = nullptr;
      int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
      std::lock_guard<std::mutex> guard(pending->lock);
      if (pending->abandoned) {
        if (rc == 0) freeaddrinfo(list);
        return;
      }
      pending->rc = rc;
      pending->list = list;
      pending->finished = true;
      pending->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return EAI_SYSTEM;
  }
  std::unique_lock<std::mutex> guard(pending->lock);
  if (!pending->done.wait_until(guard, deadline, [&] { return pending->finished; })) {
    pending->abandoned = true;
    return EAI_AGAIN;
  }
  *out = pending->list;
  return pending->rc;
}

}  // namespace

Socket::~Socket() {
  if (_fd >= 0) ::close(_fd);
}

bool Socket::Connect(const std::string& host, int port, Clock::time_point deadline, std::string& why) {
  addrinfo* list = nullptr;
  int rc = LookUp(host, port, deadline, &list);
  if (rc != 0) {
    why = std::string("cannot resolve host : ") + (rc == EAI_AGAIN ? "no answer in time" : gai_strerror(rc));
    return false;
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> owner(list, freeaddrinfo);
  for (addrinfo* a = list; a; a = a->ai_next) {
    if (_fd >= 0) ::close(_fd);
    _fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (_fd < 0) continue;
    int one = 1;
    setsockopt(_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(_fd, a->ai_addr, a->ai_addrlen) == 0) return true;
    if (errno != EINPROGRESS) {
      why = std::string("connect : ") + std::strerror(errno);
      continue;
    }
    if (!Wait(POLLOUT, deadline)) {
      why = "connect : time-out";
      continue;
    }
    int error = 0;
    socklen_t len = sizeof error;
    getsockopt(_fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error == 0) return true;
    why = std::string("connect : ") + std::strerror(error);
  }
  return false;
}

bool Socket::Send(const uint8_t* data, size_t size, Clock::time_point deadline, std::string& why) {
  while (size > 0) {
    if (Clock::now() >= deadline) {
      why = "send : time-out";
      return false;
    }
    ssize_t n = ::send(_fd, data, size, MSG_NOSIGNAL);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      if (!Wait(POLLOUT, deadline)) {
        why = "send : time-out";
        return false;
      }
    } else {
      why = std::string("send : ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool Socket::Receive(uint8_t* data, size_t size, Clock::time_point deadline, std::string& why) {
  while (size > 0) {
    if (Clock::now() >= deadline) {
      why = "no answer within the request time-out";
      return false;
    }
    ssize_t n = ::recv(_fd, data, size, 0);
    if (n > 0) {
      data += n;
      size -= static_cast<size_t>(n);
    } else if (n == 0) {
      why = "connection closed by the server";
      return false;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      if (!Wait(POLLIN, deadline)) {
        why = "no answer within the request time-out";
        return false;
      }
    } else {
      why = std::string("receive : ") + std::strerror(errno);
      return false;
    }
  }
  return true;
}

bool Socket::Alive() {
  pollfd p{_fd, POLLIN, 0};
  if (::poll(&p, 1, 0) == 0) return true;
  if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  char c;
  ssize_t n = ::recv(_fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

bool Socket::Wait(short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{_fd, events, 0};
    int rc = ::poll(&p, 1, RemainingMs(deadline));
    if (rc > 0) return true;
    if (rc == 0 || errno != EINTR) return false;
  }
}

}  // namespace VESK::DAQ::ua
