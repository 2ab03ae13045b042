// The UDP server: binding, the receiver loop, the datagram queue and the default
// handler and background routine.
#include "net/udp_server.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "base/exception.h"
#include "platform/sync.h"
#include "log/eventlog.h"

namespace {

const TernServerMessages kUdpMessages{208, 209, 210, 213, 211, 214};
constexpr int kOversizedDatagram = 215;
constexpr long kFirstReceivePauseMs = 50;
constexpr long kLongestReceivePauseMs = 1000;

std::string Printable(const std::string& data) {
  std::string text = data;
  for (char& c : text)
    if (c < 0x20 || c > 0x7e) c = '.';
  return text;
}

}  // namespace

CTernUdpServer::CTernUdpServer(std::string_view name) : CTernServer(name, kUdpMessages) {}

CTernUdpServer::~CTernUdpServer() { Stop(); }

bool CTernUdpServer::Start(int workers, int background, int largest,
                           const CTernNetAddress& address) {
  CTernNetAddress wanted(address);
  std::vector<uint32_t> addresses;
  if (workers < 1 || background < 0 || largest < 1 || !wanted.Resolve(addresses)) {
    ReportInvalidStart(workers);
    return false;
  }
  CTernLockGuard guard(m_Lock);
  if (!BeginStartLocked()) return false;
  bool bound = false;
  try {
    bound = m_Endpoint.Bind(wanted);
  } catch (const CTernException&) {
    bound = false;  // no socket (reported)
  }
  if (!bound) {
    ReportNoListen();
    return false;
  }
  CTernNetAddress local;
  m_BoundAddress = m_Endpoint.LocalName(local) ? local : wanted;
  m_Largest = static_cast<size_t>(largest);
  return LaunchLocked(workers, background);
}

long CTernUdpServer::Send(const void* data, long length, CTernNetAddress& destination) {
  return m_Endpoint.SendTo(data, length, &destination);
}

CTernNetAddress CTernUdpServer::BoundAddress() const {
  CTernLockGuard guard(m_Lock);
  return m_BoundAddress;
}

void CTernUdpServer::ReceiverLoop() {
  // One byte more than the largest accepted, so that a longer datagram shows.
  std::vector<char> buffer(m_Largest + 1);
  long pause = 0;
  while (!StopRequested()) {
    CTernNetAddress sender;
    long n = m_Endpoint.ReceiveFrom(buffer.data(), static_cast<long>(buffer.size()), 1, &sender);
    if (n < 0) {
      pause = std::min(pause > 0 ? pause * 2 : kFirstReceivePauseMs, kLongestReceivePauseMs);
      PlatformSleepMs(pause);
      continue;
    }
    pause = 0;
    if (m_Endpoint.TimedOut()) continue;
    if (static_cast<size_t>(n) > m_Largest) {
      TernReportEventF(TernEventType::Warning, kOversizedDatagram, sender.Describe(), n);
      continue;
    }
    {
      CTernLockGuard guard(m_QueueLock);
      if (m_Queue.size() >= kTernUdpQueueLimit) continue;
      m_Queue.push_back(Datagram{std::string(buffer.data(), static_cast<size_t>(n)), sender});
    }
    SignalWork();
  }
  SignalWork();
}

bool CTernUdpServer::ServeNext(int number) {
  Datagram datagram;
  bool more;
  {
    CTernLockGuard guard(m_QueueLock);
    if (m_Queue.empty()) return false;
    datagram = std::move(m_Queue.front());
    m_Queue.pop_front();
    more = !m_Queue.empty();
  }
  if (more) SignalWork();
  HandleDatagram(datagram.data, datagram.sender, number);
  return true;
}

void CTernUdpServer::DropQueued() {
  CTernLockGuard guard(m_QueueLock);
  m_Queue.clear();
}

void CTernUdpServer::CloseReceiver() {
  if (m_Endpoint.IsOpen()) m_Endpoint.Close();
}

void CTernUdpServer::HandleDatagram(const std::string& datagram, CTernNetAddress& sender,
                                    int number) {
  std::printf("Grunt %d received '%s' from %s\n", number, Printable(datagram).c_str(),
              sender.Describe().c_str());
}

void CTernUdpServer::Background(int number) {
  std::printf("Helper %d is on-line!\n", number);
  while (!StopRequested() && !BackgroundSurplus()) SleepUnlessStopped(5);
  std::printf("Helper %d returns.\n", number);
}
