// Test helper: a remote mail server on loopback that follows a script. It accepts
// connections one after another on a port the system chooses, greets, answers
// each command by its verb (the next scripted reply for that verb, else the usual
// one), takes the data up to the end marker, and records every line it received.
// A reply "" means silence: nothing is sent and the peer waits until it stops.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/tcp_endpoint.h"
#include "tests/net/loopback.h"

class ScriptedPeer {
 public:
  // replies: verb ("GREETING", "HELO", "MAIL", "RCPT", "DATA", "END" for the reply
  // after the data, "QUIT") to the replies given in turn, each with its line ends.
  explicit ScriptedPeer(std::map<std::string, std::vector<std::string>> replies = {})
      : m_Replies(std::move(replies)) {
    m_Port = ListenOnLoopback(m_Listener);
    m_Thread = std::thread([this] { Serve(); });
  }
  ~ScriptedPeer() {
    m_Stop = true;
    // A connection of its own wakes the accept at once.
    CTernTcpEndpoint wake;
    wake.Connect(CTernNetAddress(Loopback(1), m_Port));
    m_Thread.join();
  }

  uint16_t Port() const { return m_Port; }
  // Every line received, data lines included, with their line ends.
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Lines;
  }
  // The data of each transaction as received (dots not removed), end marker excluded.
  std::vector<std::string> Data() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Data;
  }
  // Lines of a verb received.
  int Count(const std::string& verb) {
    int n = 0;
    for (const std::string& line : Lines())
      if (line.rfind(verb, 0) == 0) ++n;
    return n;
  }
  int Connections() const { return m_Connections.load(); }

 private:
  std::string Next(const std::string& verb) {
    std::lock_guard<std::mutex> guard(m_Lock);
    auto it = m_Replies.find(verb);
    if (it != m_Replies.end() && !it->second.empty()) {
      std::string reply = it->second.front();
      it->second.erase(it->second.begin());
      return reply;
    }
    if (verb == "GREETING") return "220 peer.example.net ready\r\n";
    if (verb == "DATA") return "354 go ahead\r\n";
    if (verb == "QUIT") return "221 bye\r\n";
    return "250 ok\r\n";
  }

  // Sends reply; a silent one holds the connection until the peer stops.
  bool Answer(CTernTcpEndpoint& c, const std::string& reply) {
    if (!reply.empty()) return c.Send(reply) == static_cast<long>(reply.size());
    while (!m_Stop) PlatformSleepMs(20);
    return false;
  }

  void Serve() {
    while (!m_Stop) {
      CTernTcpEndpoint c;
      if (!m_Listener.Accept(c, 1)) continue;
      ++m_Connections;
      Converse(c);
      if (c.State() == TernTcpState::Connected) c.Close();
    }
  }

  void Converse(CTernTcpEndpoint& c) {
    if (!Answer(c, Next("GREETING"))) return;
    bool inData = false;
    std::string data;
    CTernString text;
    while (!m_Stop) {
      long n = c.ReceiveLine(text, "\n", 1, 1 << 20);
      if (n <= 0 || !text.Str().ends_with("\n")) {
        if (c.Closed() || n < 0) return;
        continue;
      }
      std::string line = text.Str();
      {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Lines.push_back(line);
      }
      if (inData) {
        if (line != ".\r\n") {
          data += line;
          continue;
        }
        inData = false;
        {
          std::lock_guard<std::mutex> guard(m_Lock);
          m_Data.push_back(data);
        }
        data.clear();
        if (!Answer(c, Next("END"))) return;
        continue;
      }
      std::string verb = line.substr(0, 4);
      for (char& ch : verb) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
      std::string reply = Next(verb);
      if (!Answer(c, reply)) return;
      if (verb == "DATA" && reply.rfind("354", 0) == 0) inData = true;
      if (verb == "QUIT") return;
    }
  }

  CTernTcpEndpoint m_Listener;
  uint16_t m_Port = 0;
  std::atomic<bool> m_Stop{false};
  std::atomic<int> m_Connections{0};
  std::mutex m_Lock;  // guards the replies and what was received
  std::map<std::string, std::vector<std::string>> m_Replies;
  std::vector<std::string> m_Lines;
  std::vector<std::string> m_Data;
  std::thread m_Thread;
};
