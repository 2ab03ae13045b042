// Test helper for the mail store: a fresh mailbox root with the user directory
// "jo", captured events, a configuration when a test loads one, and messages
// written to files and opened for reading as the deliverer hands them over.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "base/file_ops.h"
#include "message/mail_time.h"
#include "message/message.h"
#include "store/mailbox.h"
#include "store/mailbox_names.h"
#include "tests/config/settings_fixture.h"

class StoreFixture : public SettingsFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(DirMake(Root()));
    ASSERT_TRUE(DirMake(UserDir(), kTernMailboxDirMode));
  }

  std::string Root() const { return m_Dir.File("boxes"); }
  std::string UserDir() const { return PathJoin(Root(), "jo"); }

  // A message: From, To, Subject, Date and Message-Id (unless extra names its own)
  // headers, the extra header lines, an empty line and the body.
  static std::string Mail(const std::string& subject, const std::string& body = "text\r\n",
                          const std::string& extra = "", long date = 900000000) {
    std::string id = extra.find("Message-Id") == std::string::npos
                         ? "Message-Id: <" + subject + "@example.org>\r\n"
                         : "";
    std::string to = extra.compare(0, 3, "To:") == 0 ? "" : "To: jo@example.org\r\n";
    return "From: Ann <ann@example.org>\r\n" + to + "Subject: " + subject +
           "\r\nDate: " + CTernTime(date).MailDate(0) + "\r\n" + id + extra + "\r\n" + body;
  }

  // The text written to a file and opened for reading.
  std::unique_ptr<CTernMessage> Source(const std::string& text) {
    std::string path = m_Dir.Write("source" + std::to_string(++m_Sources), text);
    auto message = std::make_unique<CTernMessage>(path, 0, 0, TernMessageOption::NoSeparatorDetection,
                                                  TernMessageMode::Read);
    EXPECT_TRUE(message->Open());
    return message;
  }

  TernAddResult Add(CTernMailbox& box, const std::string& text, uint32_t flags = 1,
                    const std::string& sender = "ann@example.org",
                    const TernReceiveCheck& check = {}, std::string* reason = nullptr) {
    std::unique_ptr<CTernMessage> source = Source(text);
    return box.Add(*source, flags, sender, check, reason);
  }

  // Message n's stored bytes after its separator line.
  static std::string Read(const CTernMailbox& box, int32_t n) {
    std::unique_ptr<CTernMessage> message = box.OpenMessage(n);
    if (!message) return "<none>";
    std::string text;
    char buffer[4096];
    for (int32_t got; (got = message->Read(buffer, sizeof buffer)) > 0;) text.append(buffer, got);
    return text;
  }

  // The subjects of the visible messages in number order, joined with " ".
  static std::string Subjects(const CTernMailbox& box) {
    std::string out;
    TernTocEntry entry;
    for (int32_t n = 1; box.Info(n, entry) == 0; ++n) out += (n > 1 ? " " : "") + entry.subject;
    return out;
  }

  // Codes of the mailbox scan events so far (406, 407, 408, 67), in order.
  std::string ScanEvents() const {
    std::string out;
    for (int code : m_Events.Codes())
      if (code == 67 || (code >= 406 && code <= 408)) out += (out.empty() ? "" : " ") + std::to_string(code);
    return out;
  }

  int m_Sources = 0;
};
