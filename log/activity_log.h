// The activity log: one text file per day in the log directory ("kslog" followed by
// the date number), one line per activity record (a login, a message accepted, an
// object changed, a protocol violation ...), and the reader from which the Access
// Report is built.
//
// A line is the date number, ",", the time number, then ",key=value" for each
// non-empty field, ended by CR LF. Values lose their CR and LF bytes; a value with
// a comma outside double quotes is written between double quotes.
#pragma once

#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/disk_file.h"
#include "base/lock.h"

// Field keys of an activity record.
enum TernActivityKey {
  kActRealm = 1,
  kActAction = 2,
  kActResult = 3,
  kActUser = 10,
  kActClient = 11,
  kActServer = 12,
  kActFrom = 20,
  kActTo = 21,
  kActSubject = 22,
  kActSize = 23,
  kActType = 40,
  kActName = 41,
  kActMailbox = 50,
  kActMailboxId = 51,
  kActSmtpId = 52,
  kActInfo = 100,
  kActInfo2 = 101,
  kActWarning = 105,
  kActLastResponse = 110,
  kActLastCommand = 111,
};

// Realms, actions and results as they are stored (numbers).
enum TernActivityRealm { kRealmSmtp = 1, kRealmPop = 2, kRealmAdministration = 3, kRealmWebClient = 4 };
enum TernActivityAction {
  kActionLogin = 1, kActionLogoff, kActionConnectedTo, kActionDisconnected, kActionMessageAccepted,
  kActionMessageDelivered, kActionMessageBounced, kActionMessageDropped, kActionObjectAdded,
  kActionObjectDeleted, kActionObjectScheduled, kActionObjectModified, kActionConnectionFrom,
  kActionProtocolViolation, kActionMessageDeleted, kActionAccessViolation, kActionMessageRead,
  kActionContentViolation, kActionMessageRejected, kActionMessageProcessingCompleted,
  kActionMessageDeliveryAttemptFailed, kActionObjectRenamed, kActionMessageMoved,
  kActionMessageEdited, kActionMessageApproval, kActionAutoLocked
};
enum TernActivityResult { kResultSucceeded = 1, kResultFailed, kResultApproved, kResultBounced };

// An activity record being built or read back: field key to text.
class CTernActivityRecord {
 public:
  void Add(int key, long number);
  void Add(int key, const std::string& text);
  // Realm, action and result as numbers, user and client as texts; a 0 number or
  // an empty text adds nothing.
  void AddStandard(long realm, long action, long result, const std::string& user,
                   const std::string& client);
  bool Get(int key, std::string& value) const;
  bool Has(int key) const { return m_Fields.count(key) != 0; }
  const std::map<int, std::string>& Fields() const { return m_Fields; }
  void Clear() { m_Fields.clear(); }

  // The line written for this record at the given date and time numbers.
  std::string Line(long date, long time) const;
  // Parses a line; false when it has fewer than three comma-separated parts.
  static bool ParseLine(const std::string& line, long& date, long& time, CTernActivityRecord& record);

 private:
  std::map<int, std::string> m_Fields;
};

// Date number (year - 1900) * 10000 + month * 100 + day and time number
// hour * 10000 + minute * 100 + second of a moment, in local time.
long TernDateNumber(time_t t);
long TernTimeNumber(time_t t);
// The day after a date number (across months and years).
long TernNextDateNumber(long date);

// The process-wide activity log writer.
class CTernActivityLog {
 public:
  // Reads a numeric system setting by name; false when it cannot be read.
  using SettingReader = std::function<bool(const std::string& name, long& value)>;

  // Start-up: the log directory and the name of the retention setting.
  static void Configure(const std::string& logDir, const std::string& retentionSetting);
  // Where the retention setting is read from (the configuration, once loaded).
  static void SetSettingReader(SettingReader reader);
  // Appends one line to today's file, rolling over to a new day's file first.
  static void Write(const CTernActivityRecord& record);
  // Shutdown: closes the current file; later writes are ignored.
  static void Close();
  // Opens the log for writing again after Close (a new start-up in the same process).
  static void Reopen();
};

// Reads records back over a range of dates and times, through filters.
class CTernActivityReader {
 public:
  enum MatchMode { kContains = 0, kBeginsWith = 1, kEquals = 2, kAny = 3 };
  struct Filter {
    int key = 0;  // 0: any field
    int mode = kContains;
    std::string text;
  };

  // Dates and times are date and time numbers.
  CTernActivityReader(const std::string& logDir, long startDate, long startTime, long endDate,
                      long endTime, std::vector<Filter> users, std::vector<Filter> clients,
                      std::vector<Filter> realms, std::vector<Filter> actions);

  bool First(long& date, long& time, CTernActivityRecord& record);
  bool Next(long& date, long& time, CTernActivityRecord& record);

  // Label and value words of a field for display; false when the record lacks it.
  static bool Decode(int key, const CTernActivityRecord& record, std::string& label, std::string& value);

 private:
  bool OpenNextFile();
  bool Passes(const CTernActivityRecord& record) const;

  std::string m_LogDir;
  long m_StartDate, m_StartTime, m_EndDate, m_EndTime;
  std::vector<Filter> m_Filters[4];
  long m_CurrentDate;
  std::unique_ptr<CTernDiskFile> m_File;
};
