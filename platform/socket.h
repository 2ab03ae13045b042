// The IPv4 sockets that stand in for Windows Sockets: thin calls over BSD sockets for
// the endpoints, with blocking I/O and time-outs by waiting for readiness first.
//
// Addresses are IPv4 values in network byte order; ports are in host order. Every
// call that fails returns -1 (or kPlatformInvalidSocket) and leaves the reason in
// PlatformSocketError(), the errno of the calling thread. Calls interrupted by a
// signal are repeated. Sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

using PlatformSocket = int;
constexpr PlatformSocket kPlatformInvalidSocket = -1;

// An IPv4 address in network byte order as a number in host order, whose high
// byte is the first part of the dotted form.
uint32_t PlatformAddressHostOrder(uint32_t networkOrder);

// The error of the last failed call on this thread.
int PlatformSocketError();
// True for the errors that only say the peer has already gone (not connected, reset,
// broken pipe, connection aborted before it was accepted): the normal end of a
// conversation rather than a fault.
bool PlatformSocketPeerGone(int error);

// Raises the process's soft limit on open descriptors (sockets among them) to its
// hard limit, at most kPlatformDescriptorLimit; returns the soft limit in force.
constexpr long kPlatformDescriptorLimit = 65536;
long PlatformRaiseDescriptorLimit();

// A stream (TCP) or datagram (UDP) socket; kPlatformInvalidSocket on failure.
// Stream sockets made for listening get address reuse so that a restarted server
// is not kept off its port by connections of its previous life in TIME_WAIT
// (the behaviour Windows shows without the option); a port another socket listens
// on stays taken.
PlatformSocket PlatformSocketOpen(bool stream);
int PlatformSocketClose(PlatformSocket s);
// Shuts the sending side down (the peer reads its end of data).
int PlatformSocketShutdownSend(PlatformSocket s);
// Sends each block at once instead of holding a small one back until the peer has
// acknowledged the last (Nagle's algorithm): for servers that answer pipelined
// commands with replies written whole.
int PlatformSocketSetNoDelay(PlatformSocket s);

int PlatformSocketBind(PlatformSocket s, uint32_t address, uint16_t port, bool forListening);
int PlatformSocketListen(PlatformSocket s, int backlog);
// The accepted socket, with the peer's address and port.
PlatformSocket PlatformSocketAccept(PlatformSocket s, uint32_t& address, uint16_t& port);
int PlatformSocketConnect(PlatformSocket s, uint32_t address, uint16_t port);
// A connection in two steps, so that the caller bounds the wait and may give up
// between waits. Start: 0 when connected at once, 1 when the connection is under
// way, -1 on failure. Wait: up to milliseconds for a connection under way; 1 when it
// is made (the socket blocks again, as every other socket does), 0 when it is still
// under way, -1 when it failed (the reason in PlatformSocketError()).
int PlatformSocketConnectStart(PlatformSocket s, uint32_t address, uint16_t port);
int PlatformSocketConnectWait(PlatformSocket s, long milliseconds);

int PlatformSocketLocalName(PlatformSocket s, uint32_t& address, uint16_t& port);
int PlatformSocketPeerName(PlatformSocket s, uint32_t& address, uint16_t& port);

// 1 when the socket can be read (data, a pending connection, the peer's close or
// an error) within the time-out, 0 when it expires, -1 on failure.
int PlatformSocketWaitReadable(PlatformSocket s, int seconds);
// The same with the time-out in milliseconds (0 or less: look once, do not wait).
int PlatformSocketWaitReadableMs(PlatformSocket s, long milliseconds);
// True when the peer has closed its sending side or reset the connection, as far
// as can be seen at once without reading.
bool PlatformSocketPeerClosed(PlatformSocket s);

// Bytes received (0 at the peer's close) or -1.
long PlatformSocketReceive(PlatformSocket s, void* buffer, size_t size);
// Sends the whole block (a stream socket may need several calls for that); the
// length or -1.
long PlatformSocketSend(PlatformSocket s, const void* buffer, size_t length);
// Sends what the socket takes of the block within milliseconds (one attempt
// without waiting when 0 or less): the number of bytes sent, or -1.
long PlatformSocketSendWithin(PlatformSocket s, const void* buffer, size_t length,
                              long milliseconds);

// For an encryption layer that drives the socket itself: one receive or one send
// that never waits (send never raises SIGPIPE). Receive gives the bytes, 0 at the
// peer's close or -1; send the bytes taken or -1. With -1,
// PlatformSocketWouldBlock(PlatformSocketError()) tells that nothing was ready.
long PlatformSocketReceiveNow(PlatformSocket s, void* buffer, size_t size);
long PlatformSocketSendNow(PlatformSocket s, const void* buffer, size_t length);
bool PlatformSocketWouldBlock(int error);
// 1 when the socket can be written within the time-out (below 0: no limit; 0: look
// once), 0 when it expires, -1 on failure.
int PlatformSocketWaitWritableMs(PlatformSocket s, long milliseconds);

// One datagram into buffer, without waiting. Returns its full length, which is
// larger than size when the datagram did not fit (only size bytes were stored), or
// -1 (EAGAIN when none is queued: a socket reported readable may still have
// nothing, when the kernel drops a damaged datagram on reading).
long PlatformSocketReceiveFrom(PlatformSocket s, void* buffer, size_t size, uint32_t& address,
                               uint16_t& port);
long PlatformSocketSendTo(PlatformSocket s, const void* buffer, size_t length, uint32_t address,
                          uint16_t port);

// A set of sockets waited on together (epoll). Each socket carries a tag of the
// caller's choosing. Sockets may be added and removed by other threads while one
// thread waits on the set: an added socket is watched from then on. Every call
// returns -1 on failure; Open returns the set's handle.
int PlatformSocketSetOpen();
int PlatformSocketSetClose(int set);
int PlatformSocketSetAdd(int set, PlatformSocket s, uint64_t tag);
int PlatformSocketSetRemove(int set, PlatformSocket s);
// Waits up to milliseconds for sockets of the set to become readable (data or an
// error) and stores the tags of up to max of them; their number, 0 when the wait
// expired.
int PlatformSocketSetWait(int set, uint64_t* tags, int max, int milliseconds);
