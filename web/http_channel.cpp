// Line and block reads over a channel's pending bytes; the connection and the
// in-memory channels.
#include "web/http_channel.h"

#include <algorithm>

#include "net/tcp_endpoint.h"
#include "net/tcp_server.h"

HttpRead HttpChannel::ReadLine(std::string& line, size_t limit) {
  for (;;) {
    // The terminator may straddle what line holds and what is pending.
    bool straddles = !line.empty() && line.back() == '\r';
    size_t take = std::string::npos;
    if (straddles && !m_Pending.empty() && m_Pending.front() == '\n') {
      take = 1;
    } else {
      size_t end = m_Pending.find("\r\n");
      if (end != std::string::npos) take = end + 2;
    }
    size_t room = limit > line.size() ? limit - line.size() : 0;
    if (take != std::string::npos && take <= room) {
      line.append(m_Pending, 0, take);
      m_Pending.erase(0, take);
      return HttpRead::Data;
    }
    if (m_Pending.size() >= room) {
      line.append(m_Pending, 0, room);
      m_Pending.erase(0, room);
      return HttpRead::Data;
    }
    line += m_Pending;
    m_Pending.clear();
    bool closed = false;
    long got = Receive(m_Pending, std::max<size_t>(room, 1), closed);
    if (got < 0) return HttpRead::Failed;
    if (got == 0) return closed ? HttpRead::Closed : HttpRead::Silent;
  }
}

HttpRead HttpChannel::Read(std::string& data, size_t count) {
  if (m_Pending.empty()) {
    bool closed = false;
    long got = Receive(m_Pending, count, closed);
    if (got < 0) return HttpRead::Failed;
    if (got == 0) return closed ? HttpRead::Closed : HttpRead::Silent;
  }
  size_t take = std::min(count, m_Pending.size());
  data.append(m_Pending, 0, take);
  m_Pending.erase(0, take);
  return HttpRead::Data;
}

bool HttpEndpointChannel::Send(std::string_view bytes) {
  return m_Server.SendToClient(m_Endpoint, bytes, m_SendWait);
}

bool HttpEndpointChannel::Stopping() const { return m_Server.StopRequested(); }

std::string HttpEndpointChannel::PeerAddress() {
  std::string text;
  if (!m_Endpoint.Address().GetFirstAddressText(text)) text.clear();
  return text;
}

bool HttpEndpointChannel::LocalAddress(std::string& address, uint16_t& port) {
  CTernNetAddress local;
  if (!m_Endpoint.LocalName(local) || !local.GetFirstAddressText(address)) return false;
  port = local.Port();
  return true;
}

long HttpEndpointChannel::Receive(std::string& data, size_t count, bool& closed) {
  long got = m_Endpoint.ReceiveSome(data, count, 1);
  closed = got == 0 && m_Endpoint.Closed();
  return got;
}

bool HttpTextChannel::Send(std::string_view bytes) {
  m_Sent += bytes;
  return true;
}

bool HttpTextChannel::LocalAddress(std::string& address, uint16_t& port) {
  address = "192.0.2.2";
  port = 8003;
  return true;
}

long HttpTextChannel::Receive(std::string& data, size_t count, bool& closed) {
  size_t take = std::min({count, m_Piece, m_Input.size() - m_Taken});
  closed = take == 0;
  data.append(m_Input, m_Taken, take);
  m_Taken += take;
  return static_cast<long>(take);
}

bool HttpEndpointChannel::Encrypted() { return m_Endpoint.Encrypted(); }
