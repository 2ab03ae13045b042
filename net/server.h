// The thread pools shared by the TCP and the UDP server: one receiver thread (the
// TCP listener, the UDP receiver), a pool of workers that take queued work, and an
// optional pool of background threads running a routine of the subclass.
//
// Every thread of a server takes the next thread number, across the three kinds.
// The pools can be resized while the server runs; surplus threads leave by
// themselves (workers when they find nothing queued, background threads when they
// next ask BackgroundSurplus()). A thread that an exception kills is replaced under
// the same number. Stop() returns once every thread has left.
//
// The worker pool also grows under load: a subclass adds workers beyond the wanted
// count while work waits and every worker is busy (GrowWorkersLocked). Such surplus
// workers stay while the pool keeps growing and leave, one after the other, once
// they are idle and the pool has not had to grow for the surplus idle time.
//
// The work event is an automatic-reset event used as a baton: each signal releases
// one waiting worker, and a worker passes it on when it leaves or when it takes
// work and more is queued, so that every queued item and every stop reaches a
// worker.
//
// A subclass that overrides the handlers or the background routine must call Stop()
// in its own destructor: threads still running its code must be gone before its
// part of the object is.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "base/lock.h"
#include "platform/sync.h"

// Thread kinds.
constexpr int kTernReceiverThread = 0;  // the TCP listener, the UDP receiver
constexpr int kTernWorkerThread = 1;
constexpr int kTernBackgroundThread = 2;

// The message codes a kind of server reports with.
struct TernServerMessages {
  int invalidStart;     // "%s server: Invalid arguments to Start(), %d."
  int alreadyStarted;   // "%s server already started."
  int noListen;         // "%s server unable to begin listening."
  int threadException;  // "%s server thread %d terminating due to an exception."
  int threadsShort;     // "Started only %d of %d threads."
  int noRestart;        // "%s server unable to restart thread %d."
};

class CTernServer {
 public:
  // The TCP and UDP servers stop in their destructors; this one cannot, as the
  // pools run code of the parts already gone.
  virtual ~CTernServer();
  CTernServer(const CTernServer&) = delete;
  CTernServer& operator=(const CTernServer&) = delete;

  // Asks every thread to leave and waits until all have; work still queued is
  // dropped (connections closed unhandled) and the receiving socket is closed. Called
  // from one of the server's own threads it waits for all the others. Returns true.
  bool Stop();

  // Resize a running pool: n workers (1 or more) or n background threads (0 or
  // more). Missing threads are created at once; false (148) when one cannot be.
  // False as well when the server is not running.
  bool SetWorkerCount(int n);
  bool SetBackgroundCount(int n);

  // The stop flag; every loop of every thread of the server tests it.
  bool StopRequested() const;
  // True when more background threads run than are wanted. Asked by a background
  // thread, a true answer retires that thread from the count (it must then return
  // from its routine), so that exactly the surplus leaves.
  bool BackgroundSurplus();
  std::string Name() const;
  bool Started() const;
  // Threads of a kind that are running and wanted.
  int RunningCount(int kind) const;
  int WantedCount(int kind) const;

 protected:
  CTernServer(std::string_view name, const TernServerMessages& messages);

  // Run by each background thread with its number. The default waits 5 seconds at
  // a time until a stop is requested or the thread is surplus.
  virtual void Background(int number);

  // Sleeps up to seconds; returns early (true) once a stop is requested.
  bool SleepUnlessStopped(int seconds);

  // Adds workers beyond the wanted count until `needed` run or `ceiling` (at least
  // the wanted count) is reached; each one added restarts the surplus idle time.
  // False when a thread could not be created (the pool stays as it is).
  // REQUIRES: m_Lock held, the server started.
  bool GrowWorkersLocked(int needed, int ceiling);
  // Seconds that surplus workers wait after the pool last grew before they leave.
  void SetSurplusIdle(int seconds) { m_SurplusIdleMs = seconds * 1000L; }
  int SurplusIdle() const { return static_cast<int>(m_SurplusIdleMs.load() / 1000); }

  // The first step of Start: false (and the already-started message) when the
  // server runs, else clears the stop of an earlier life. REQUIRES: m_Lock held.
  bool BeginStartLocked();
  // Creates the receiver, workers and background threads; the server is started
  // when all of them run. REQUIRES: m_Lock held.
  bool LaunchLocked(int workers, int background);

  void SignalWork() { m_WorkEvent.Set(); }
  void ReportInvalidStart(int workers);
  void ReportNoListen();

  // The receiver loop (kind 0): returns once a stop is requested.
  virtual void ReceiverLoop() = 0;
  // Takes the next queued item and handles it on worker `number`; false when none
  // is queued. An exception from the handler goes on after the item is released.
  virtual bool ServeNext(int number) = 0;
  // True when an item waits in the queue.
  virtual bool HasQueued() = 0;
  // Drops every queued item (Stop).
  virtual void DropQueued() = 0;
  // Closes the receiving socket (Stop).
  virtual void CloseReceiver() = 0;

  mutable CTernLock m_Lock;  // guards the flags, the counts, the thread numbers, the name

 private:
  struct ThreadContext;

  // Creates threads of kind until n run. REQUIRES: m_Lock held.
  bool SetCountLocked(int kind, int n);
  bool StartThreadLocked(ThreadContext* context);
  void RunThread(ThreadContext* context);
  void WorkerLoop(ThreadContext* context);
  // Takes a surplus thread out of the count. REQUIRES: m_Lock not held.
  bool RetireIfSurplus(ThreadContext* context);
  bool RetireIfSurplusLocked(ThreadContext* context);
  // A worker that found nothing to do: leaves when surplus, nothing is queued and
  // the pool has not grown for the surplus idle time.
  bool RetireIdleWorker(ThreadContext* context);
  bool SurplusWorkers() const;
  // After an exception: replaces the thread under the same number, or gives up.
  void Restart(ThreadContext* context);
  int RunningTotalLocked() const;

  const TernServerMessages& m_Messages;
  std::atomic<bool> m_Stop{false};
  bool m_Started = false;
  std::string m_Name;
  int m_NextNumber = 0;
  int m_Wanted[3] = {0, 0, 0};
  int m_Running[3] = {0, 0, 0};
  long long m_LastGrowthMs = 0;  // steady clock; 0: the pool never grew
  std::atomic<long> m_SurplusIdleMs{0};
  // Last members: waits may still be running on them while the rest goes away.
  PlatformEvent m_WorkEvent{false};   // the baton
  PlatformEvent m_StopEvent{true};    // set by Stop; cut short the waits of SleepUnlessStopped
};
