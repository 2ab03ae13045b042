// IPv4 sockets over the BSD socket calls.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

sockaddr_in Make(uint32_t address, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = address;
  a.sin_port = htons(port);
  return a;
}

void Split(const sockaddr_in& a, uint32_t& address, uint16_t& port) {
  address = a.sin_addr.s_addr;
  port = ntohs(a.sin_port);
}

}  // namespace

int PlatformSocketError() { return errno; }

long PlatformRaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  rlim_t wanted = limit.rlim_max == RLIM_INFINITY
                      ? static_cast<rlim_t>(kPlatformDescriptorLimit)
                      : std::min(limit.rlim_max, static_cast<rlim_t>(kPlatformDescriptorLimit));
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY ? kPlatformDescriptorLimit
                                         : static_cast<long>(limit.rlim_cur);
}

PlatformSocket PlatformSocketOpen(bool stream) {
  return socket(AF_INET, (stream ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
}

bool PlatformSocketPeerGone(int error) {
  return error == ENOTCONN || error == ECONNRESET || error == EPIPE || error == ECONNABORTED;
}

int PlatformSocketClose(PlatformSocket s) {
  // After EINTR the descriptor is gone on Linux: closing again could hit another's.
  int rc = close(s);
  return rc == 0 || errno == EINTR ? 0 : -1;
}

int PlatformSocketShutdownSend(PlatformSocket s) { return shutdown(s, SHUT_WR); }

int PlatformSocketSetNoDelay(PlatformSocket s) {
  int on = 1;
  return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int PlatformSocketBind(PlatformSocket s, uint32_t address, uint16_t port, bool forListening) {
  if (forListening) {
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  }
  sockaddr_in a = Make(address, port);
  return bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

int PlatformSocketListen(PlatformSocket s, int backlog) { return listen(s, backlog); }

PlatformSocket PlatformSocketAccept(PlatformSocket s, uint32_t& address, uint16_t& port) {
  for (;;) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    int fd = accept4(s, reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      Split(a, address, port);
      return fd;
    }
    if (errno != EINTR) return kPlatformInvalidSocket;
  }
}

int PlatformSocketConnect(PlatformSocket s, uint32_t address, uint16_t port) {
  sockaddr_in a = Make(address, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return 0;
  if (errno != EINTR) return -1;
  // An interrupted connect goes on in the background: wait for its outcome.
  pollfd p{s, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0)
    if (errno != EINTR) return -1;
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0) return -1;
  if (err == 0) return 0;
  errno = err;
  return -1;
}

int PlatformSocketConnectStart(PlatformSocket s, uint32_t address, uint16_t port) {
  int flags = fcntl(s, F_GETFL);
  if (flags < 0 || fcntl(s, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
  sockaddr_in a = Make(address, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    return fcntl(s, F_SETFL, flags) == 0 ? 0 : -1;
  return errno == EINPROGRESS || errno == EINTR ? 1 : -1;
}

int PlatformSocketConnectWait(PlatformSocket s, long milliseconds) {
  pollfd p{s, POLLOUT, 0};
  int rc = poll(&p, 1, milliseconds > 0 ? static_cast<int>(milliseconds) : 0);
  if (rc == 0) return 0;
  if (rc < 0) return errno == EINTR ? 0 : -1;
  int err = 0;
  socklen_t length = sizeof err;
  if (getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &length) != 0) return -1;
  if (err != 0) {
    errno = err;
    return -1;
  }
  int flags = fcntl(s, F_GETFL);
  return flags >= 0 && fcntl(s, F_SETFL, flags & ~O_NONBLOCK) == 0 ? 1 : -1;
}

int PlatformSocketLocalName(PlatformSocket s, uint32_t& address, uint16_t& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  Split(a, address, port);
  return 0;
}

int PlatformSocketPeerName(PlatformSocket s, uint32_t& address, uint16_t& port) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  if (getpeername(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) return -1;
  Split(a, address, port);
  return 0;
}

int PlatformSocketWaitReadable(PlatformSocket s, int seconds) {
  return PlatformSocketWaitReadableMs(s, seconds * 1000L);
}

int PlatformSocketWaitReadableMs(PlatformSocket s, long milliseconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{s, POLLIN, 0};
    int rc = poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

bool PlatformSocketPeerClosed(PlatformSocket s) {
  pollfd p{s, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

long PlatformSocketReceive(PlatformSocket s, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = recv(s, buffer, size, 0);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long PlatformSocketSend(PlatformSocket s, const void* buffer, size_t length) {
  const char* at = static_cast<const char*>(buffer);
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(s, at + sent, length - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    sent += static_cast<size_t>(n);
  }
  return static_cast<long>(sent);
}

long PlatformSocketSendWithin(PlatformSocket s, const void* buffer, size_t length,
                              long milliseconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  const char* at = static_cast<const char*>(buffer);
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(s, at + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{s, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return -1;
  }
  return static_cast<long>(sent);
}

long PlatformSocketReceiveNow(PlatformSocket s, void* buffer, size_t size) {
  for (;;) {
    ssize_t n = recv(s, buffer, size, MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long PlatformSocketSendNow(PlatformSocket s, const void* buffer, size_t length) {
  for (;;) {
    ssize_t n = send(s, buffer, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

bool PlatformSocketWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

int PlatformSocketWaitWritableMs(PlatformSocket s, long milliseconds) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(std::max(milliseconds, 0L));
  for (;;) {
    long left = milliseconds < 0 ? -1
                                 : std::max<long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         deadline - Clock::now()).count());
    pollfd p{s, POLLOUT, 0};
    int rc = poll(&p, 1, static_cast<int>(left));
    if (rc > 0) return 1;
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

long PlatformSocketReceiveFrom(PlatformSocket s, void* buffer, size_t size, uint32_t& address,
                               uint16_t& port) {
  for (;;) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    // MSG_TRUNC makes the call report the datagram's real length; MSG_DONTWAIT keeps
    // a receiver that was told of a datagram the kernel then dropped from blocking.
    ssize_t n = recvfrom(s, buffer, size, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&a), &length);
    if (n >= 0) {
      Split(a, address, port);
      return static_cast<long>(n);
    }
    if (errno != EINTR) return -1;
  }
}

long PlatformSocketSendTo(PlatformSocket s, const void* buffer, size_t length, uint32_t address,
                          uint16_t port) {
  sockaddr_in a = Make(address, port);
  for (;;) {
    ssize_t n = sendto(s, buffer, length, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

int PlatformSocketSetOpen() { return epoll_create1(EPOLL_CLOEXEC); }

int PlatformSocketSetClose(int set) {
  int rc = close(set);
  return rc == 0 || errno == EINTR ? 0 : -1;
}

int PlatformSocketSetAdd(int set, PlatformSocket s, uint64_t tag) {
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.u64 = tag;
  return epoll_ctl(set, EPOLL_CTL_ADD, s, &e);
}

int PlatformSocketSetRemove(int set, PlatformSocket s) {
  epoll_event e{};
  return epoll_ctl(set, EPOLL_CTL_DEL, s, &e);
}

int PlatformSocketSetWait(int set, uint64_t* tags, int max, int milliseconds) {
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  int wanted = max < kBatch ? max : kBatch;
  if (wanted < 1) return 0;
  int n = epoll_wait(set, events, wanted, milliseconds);
  if (n < 0) return errno == EINTR ? 0 : -1;
  for (int i = 0; i < n; ++i) tags[i] = events[i].data.u64;
  return n;
}

uint32_t PlatformAddressHostOrder(uint32_t networkOrder) { return ntohl(networkOrder); }
