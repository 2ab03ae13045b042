// The configuration files: loading with its reports and the corrupt mark, the
// change check, saving, and the vendor file's defaults.
#include <gtest/gtest.h>
#include <utime.h>

#include <string>

#include "base/disk_file.h"
#include "base/file_ops.h"
#include "config/configuration.h"
#include "platform/clock.h"
#include "tests/config/config_fixture.h"

namespace {

const char kDefault[] = "When=D,Date=0,Start=0,End=0,Repeat=1";

}  // namespace

class ConfigFileTest : public ConfigFixture {
 protected:
  // Loads and expects failure with one event of code at the given line (0: no line
  // number in the text) naming path.
  void ExpectLoadFails(int code, const std::string& path, int line) {
    Configuration& c = Make();
    EXPECT_EQ(c.Load(true), 1);
    EXPECT_TRUE(c.Corrupt());
    PlatformEventLine e = m_Events.Find(code);
    ASSERT_EQ(e.code, code) << EventTexts();
    EXPECT_EQ(e.kind, PlatformEventKind::Error);
    EXPECT_NE(e.text.find(path), std::string::npos) << e.text;
    if (line) {
      EXPECT_NE(e.text.find("at line " + std::to_string(line) + "."), std::string::npos) << e.text;
    }
  }
};

TEST_F(ConfigFileTest, HeaderLine) {
  WriteFiles("# 3 0\r\nDS,\r\n", "# 2 0\r\n", "# 2 0\r\n", true);
  ExpectLoadFails(25, SharedPath(), 0);
  EXPECT_NE(m_Events.Find(25).text.find("unsupported version 3."), std::string::npos);

  m_Events.Clear();
  WriteFiles("# 2 0\r\n", "", "# 2 0\r\n", true);
  ExpectLoadFails(24, LocalPath(), 1);

  for (const char* header : {"#2 0\r\n", "2 0\r\n", "# \r\n", "\r\n"}) {
    m_Events.Clear();
    WriteFiles("# 2 0\r\n", "# 2 0\r\n", header, true);
    ExpectLoadFails(24, VendorPath(), 1);
  }
  // The reader looks only at "# " and the version character.
  m_Events.Clear();
  WriteFiles("# 2\r\n", "# 2 whenever\n", "# 2 0", true);
  EXPECT_EQ(Make().Load(true), 0) << EventTexts();
}

TEST_F(ConfigFileTest, CorruptLinesFailTheLoadAtTheirLine) {
  struct Case {
    std::string shared;
    int line;
  };
  const Case cases[] = {
      {"DS,\r\n\r\nDUann,\r\n", 3},         // a blank line
      {"DS,\r\n# note\r\nXUann,\r\n", 4},   // unknown first character
      {"DUann\r\n", 2},                      // no comma
      {"D,\r\n", 2},                         // no key
      {"DXann,\r\n", 2},                     // unknown type letter
      {"DuAnn,\r\n", 2},                     // type letters are capitals
      {"DUann,Cast\r\n", 2},                 // an item without '='
      {"DLstaff,LN\r\n", 2},                 // list flags not separated
      {"DLstaff,L,\r\n", 2},                 // no second flag
      {"DS,\r\nSUann\r\n", 3},               // setting without comma
  };
  for (const Case& k : cases) {
    m_Events.Clear();
    WriteFiles(k.shared);
    ExpectLoadFails(24, SharedPath(), k.line);
  }
}

TEST_F(ConfigFileTest, MissingFilesAndNames) {
  WriteFiles("DS,\r\n");
  FileRemove(LocalPath(), false);
  ExpectLoadFails(3, LocalPath(), 0);
  EXPECT_NE(m_Events.Find(3).text.find("error 2."), std::string::npos);
  m_Events.Clear();
  m_Config = std::make_unique<Configuration>(SharedPath(), "", VendorPath());
  EXPECT_EQ(m_Config->Load(true), 1);
  EXPECT_TRUE(m_Events.Has(23)) << EventTexts();
}

TEST_F(ConfigFileTest, ADuplicateInTheVendorFileWarnsAndItsSettingsAttach) {
  WriteFiles("DS,\r\nDGStaff,Note=shared\r\n", "",
             "DGStaff,Note=vendor\r\nSGStaff," + std::string(kDefault) + ",AllowPOP=0\r\n");
  Configuration& c = Loaded();
  PlatformEventLine e = m_Events.Find(26);
  ASSERT_EQ(e.code, 26) << EventTexts();
  EXPECT_EQ(e.kind, PlatformEventKind::Warning);
  EXPECT_NE(e.text.find(VendorPath()), std::string::npos);
  EXPECT_NE(e.text.find("of GStaff at line 2."), std::string::npos) << e.text;
  std::string v;
  EXPECT_EQ(c.GetBaseAttribute('G', "Staff", "Note", v), 0);
  EXPECT_EQ(v, "shared");
  EXPECT_EQ(c.GetValue('G', "Staff", "AllowPOP", v), 0);
  EXPECT_EQ(v, "0");
  // The vendor's event stays in the vendor file.
  ASSERT_EQ(c.Save(), 0);
  EXPECT_EQ(Local().find("AllowPOP"), std::string::npos) << Local();
  EXPECT_EQ(c.Load(true), 0);
  EXPECT_EQ(m_Events.Count(24), 0) << EventTexts();
}

TEST_F(ConfigFileTest, ASettingBeforeItsDefinitionFails) {
  WriteFiles("DS,\r\n", "SUann," + std::string(kDefault) + "\r\n", "DUann,\r\n");
  ExpectLoadFails(27, LocalPath(), 2);
}

TEST_F(ConfigFileTest, ARefusedSettingLineIsReportedAndSkipped) {
  WriteFiles("DS,\r\nDUann,\r\n",
             "SUann,When=D,Date=0,Start=0,End=0,Repeat=0\r\n"
             "SUann,When=6,Date=0,Start=0,End=100\r\n"
             "SUann,When=1,Date=0,Start=0,End=100,Repeat=1\r\n"
             "SUann,When=E,Date=20200101,Start=0,End=100,Repeat=1\r\n");
  Configuration& c = Loaded();
  EXPECT_FALSE(c.Corrupt());
  EXPECT_EQ(m_Events.Count(24), 2) << EventTexts();
  auto events = m_Events.Events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, PlatformEventKind::Warning);
  EXPECT_NE(events[0].text.find(LocalPath() + " corrupt at line 2."), std::string::npos);
  EXPECT_NE(events[1].text.find("at line 3."), std::string::npos);
  // The expired specific event is dropped without a word; the good one stays.
  CTernList<CTernString> keys;
  c.EventKeys('U', "ann", keys);
  EXPECT_EQ(keys.Count(), 1u);
  EXPECT_EQ(c.CreateObject('U', "bob"), 0);
  EXPECT_NE(Local().find("SUann,"), std::string::npos);
  EXPECT_EQ(Local().find("Repeat=0"), std::string::npos);
}

TEST_F(ConfigFileTest, CommasInValuesRoundTrip) {
  WriteFiles("DS,Path=C:\\dir\\x\r\n");
  Configuration& c = Loaded();
  ASSERT_EQ(c.SetAttribute('S', "", "List", "a,b", true), 0);
  EXPECT_NE(Shared().find("List=a\\,b"), std::string::npos) << Shared();
  Configuration& again = Loaded();
  std::string v;
  ASSERT_EQ(again.GetValue('S', "", "List", v), 0);
  EXPECT_EQ(v, "a,b");
  ASSERT_EQ(again.GetValue('S', "", "Path", v), 0);
  EXPECT_EQ(v, "C:\\dir\\x");
}

TEST_F(ConfigFileTest, WhatGoesWhereOnSaving) {
  PlatformSetTime(901234567);
  WriteFiles("DS,Domain=example.org\r\nDUann,Cast=Sales\r\nDGSales,\r\nDCgate,\r\n",
             "DLstaff,L,Q,Owner=ann\r\nSUann," + std::string(kDefault) + ",AllowPOP=0\r\n",
             "DDwords,U,N,\r\n");
  Configuration& c = Loaded();
  ASSERT_EQ(c.Save(), 0);
  std::string shared = Shared(), local = Local();
  EXPECT_EQ(shared.substr(0, 13), "# 2 901234567");
  EXPECT_EQ(local.substr(0, 15), "# 2 901234567\r\n");
  for (const char* line : {"\r\nDS,Domain=example.org\r\n", "\r\nDUann,Cast=Sales\r\n", "\r\nDGSales,\r\n",
                           "\r\nDCgate,\r\n"})
    EXPECT_NE(shared.find(line), std::string::npos) << line << shared;
  EXPECT_NE(local.find("\r\nDLstaff,L,Q,Owner=ann\r\n"), std::string::npos) << local;
  EXPECT_NE(local.find("\r\nSUann,"), std::string::npos) << local;
  EXPECT_EQ(shared.find("staff"), std::string::npos);
  EXPECT_EQ(shared.find("SUann"), std::string::npos);
  EXPECT_EQ(local.find("words"), std::string::npos);
  // The previous contents stay as _old.
  EXPECT_EQ(TempDir::Read(SharedPath() + "_old").substr(0, 7), "# 2 0\r\n");
  EXPECT_EQ(TempDir::Read(LocalPath() + "_old").substr(0, 7), "# 2 0\r\n");
  EXPECT_TRUE(m_Events.Codes().empty()) << EventTexts();
}

TEST_F(ConfigFileTest, AFailedLoadRefusesEverySave) {
  const std::string shared = "# 2 0\r\nDS,\r\nDUann,\r\n\r\nDUbob,\r\n";
  WriteFiles(shared, "# 2 0\r\n", "# 2 0\r\n", true);
  Configuration& c = Make();
  ASSERT_EQ(c.Load(true), 1);
  // What was read before the bad line is there; nothing after it.
  EXPECT_EQ(c.ObjectExists('U', "ann"), 1);
  EXPECT_EQ(c.ObjectExists('U', "bob"), 0);
  m_Events.Clear();
  EXPECT_EQ(c.CreateObject('U', "carol"), 1);
  EXPECT_TRUE(m_Events.Has(28)) << EventTexts();
  EXPECT_EQ(c.SetAttribute('U', "ann", "Cast", "x", true), 1);
  EXPECT_EQ(c.Save(), 1);
  EXPECT_EQ(Shared(), shared);
  EXPECT_EQ(Local(), "# 2 0\r\n");
  EXPECT_FALSE(FileExists(SharedPath() + "_new", false));
  EXPECT_FALSE(FileExists(SharedPath() + "_old", false));

  // Once the file is repaired the change check loads it, and saves work again.
  m_Dir.Write("shared-config", "# 2 0\r\nDS,\r\nDUann,\r\nDUbob,\r\n");
  PlatformAdvance(kConfigCheckInterval + 1);
  EXPECT_EQ(c.ObjectExists('U', "bob"), 1);
  EXPECT_FALSE(c.Corrupt());
  EXPECT_EQ(c.ObjectExists('U', "carol"), 0);  // the refused change did not come back
  EXPECT_EQ(c.CreateObject('U', "carol"), 0);
  EXPECT_NE(Shared().find("DUcarol,"), std::string::npos);
}

TEST_F(ConfigFileTest, AFileMangledWhileRunningIsNeverWrittenOver) {
  WriteFiles("DS,\r\nDUann,Cast=Sales\r\n");
  Configuration& c = Loaded();
  // Cut short in the middle of a line, as by a full disk or a careless edit.
  const std::string mangled = "# 2 0\r\nDS,\r\nDUann,Ca";
  m_Dir.Write("shared-config", mangled);
  EXPECT_EQ(c.CreateObject('U', "bob"), 1);
  EXPECT_TRUE(m_Events.Has(24)) << EventTexts();
  EXPECT_TRUE(m_Events.Has(28)) << EventTexts();
  EXPECT_EQ(Shared(), mangled);
  EXPECT_EQ(c.Save(), 1);
  EXPECT_EQ(Shared(), mangled);
}

TEST_F(ConfigFileTest, TwoLoadsWithinASecondReadTheFilesOnce) {
  // Each reading of the files reports the vendor duplicate once.
  WriteFiles("DS,\r\nDUann,\r\n", "", "DUann,\r\n");
  Configuration& c = Make();
  EXPECT_EQ(c.Load(true), 0);
  EXPECT_EQ(c.Load(false), 0);
  PlatformAdvance(1);
  EXPECT_EQ(c.Load(false), 0);
  EXPECT_EQ(m_Events.Count(26), 1);
  PlatformAdvance(1);
  EXPECT_EQ(c.Load(false), 0);
  EXPECT_EQ(m_Events.Count(26), 2);
  EXPECT_EQ(c.Load(true), 0);
  EXPECT_EQ(m_Events.Count(26), 3);
}

TEST_F(ConfigFileTest, AChangeOnDiskIsSeenAtTheNextCheck) {
  WriteFiles("DS,Domain=old.example\r\n");
  Configuration& c = Loaded();
  std::string v;
  c.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "old.example");
  time_t loaded = c.LastLoadTime();
  uint64_t generation = c.Generation();
  m_Dir.Write("shared-config", "# 2 0\r\nDS,Domain=new.example.org\r\n");
  PlatformAdvance(kConfigCheckInterval - 1);
  c.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "old.example");
  PlatformAdvance(1);
  c.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "new.example.org");
  EXPECT_GT(c.LastLoadTime(), loaded);
  EXPECT_GT(c.Generation(), generation);
}

TEST_F(ConfigFileTest, AFileReplacedInTheSecondItWasReadIsReadAgain) {
  // Same size and the same modification second: only the time of reading tells.
  WriteFiles("DS,Domain=old.example\r\n");
  time_t written = 0;
  ASSERT_TRUE(CTernDiskFile(SharedPath(), TernFileMode::ReadOnly).ModificationTime(written));
  PlatformSetTime(written);
  Configuration& c = Loaded();
  m_Dir.Write("shared-config", "# 2 0\r\nDS,Domain=new.example\r\n");
  struct utimbuf same {written, written};
  ASSERT_EQ(utime(SharedPath().c_str(), &same), 0);
  PlatformAdvance(kConfigCheckInterval + 1);
  std::string v;
  c.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "new.example");
}

TEST_F(ConfigFileTest, SavingAfterAnotherStoreWroteKeepsBothChanges) {
  WriteFiles("DS,\r\n");
  Configuration& first = Loaded();
  Configuration second(SharedPath(), LocalPath(), VendorPath());
  ASSERT_EQ(second.Load(true), 0);
  // Same second, so the change check could not tell; the save reads the files again.
  ASSERT_EQ(second.CreateObject('U', "fromSecond"), 0);
  ASSERT_EQ(first.SetAttribute('S', "", "Note", "unsaved", false), 0);
  ASSERT_EQ(first.CreateObject('U', "fromFirst"), 0);
  std::string shared = Shared();
  EXPECT_NE(shared.find("DUfromSecond,"), std::string::npos) << shared;
  EXPECT_NE(shared.find("DUfromFirst,"), std::string::npos) << shared;
  EXPECT_NE(shared.find("Note=unsaved"), std::string::npos) << shared;
  // A change that no longer applies to the files as they are fails.
  ASSERT_EQ(second.DeleteObject('U', "fromFirst"), 0);
  EXPECT_EQ(first.SetAttribute('U', "fromFirst", "Cast", "x", true), 1);
  EXPECT_EQ(Shared().find("fromFirst"), std::string::npos);
}

TEST_F(ConfigFileTest, UnsavedChangesSurviveALoad) {
  WriteFiles("DS,\r\nDUann,\r\n");
  Configuration& c = Loaded();
  ASSERT_EQ(c.SetAttribute('U', "ann", "Cast", "Sales", false), 0);
  ASSERT_EQ(c.Load(true), 0);
  std::string v;
  EXPECT_EQ(c.GetBaseAttribute('U', "ann", "Cast", v), 0);
  ASSERT_EQ(c.Save(), 0);
  EXPECT_NE(Shared().find("DUann,Cast=Sales"), std::string::npos);
}

TEST_F(ConfigFileTest, VendorSystemDefinitionsAreDefaultsBeneathTheInstallation) {
  WriteFiles("DS,Domain=example.org\r\n", "",
             "DS,Domain=localhost,SMTPIncoming=5\r\n# comment\r\nDS,SMTPIncoming=9,AllowPOP=1\r\n");
  Configuration& c = Loaded();
  EXPECT_TRUE(m_Events.Codes().empty()) << EventTexts();
  std::string v;
  c.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "example.org");
  c.GetValue('S', "", "SMTPIncoming", v);
  EXPECT_EQ(v, "5");  // the first default given counts
  c.GetValue('S', "", "AllowPOP", v);
  EXPECT_EQ(v, "1");
  // Defaults are never written; a value the administrator sets is.
  ASSERT_EQ(c.SetAttribute('S', "", "AllowPOP", "0", true), 0);
  std::string shared = Shared();
  EXPECT_NE(shared.find("AllowPOP=0"), std::string::npos) << shared;
  EXPECT_EQ(shared.find("SMTPIncoming"), std::string::npos) << shared;
  EXPECT_EQ(shared.find("localhost"), std::string::npos) << shared;
  // Removing the administrator's value brings the default back at the next load.
  ASSERT_EQ(c.RemoveAttribute('S', "", "AllowPOP", true), 0);
  ASSERT_EQ(c.Load(true), 0);
  c.GetValue('S', "", "AllowPOP", v);
  EXPECT_EQ(v, "1");
  // Without a System definition of its own the installation has the defaults alone.
  m_Events.Clear();
  WriteFiles("DUann,\r\n", "", "DS,Domain=localhost\r\n");
  Configuration& bare = Loaded();
  bare.GetValue('S', "", "Domain", v);
  EXPECT_EQ(v, "localhost");
  ASSERT_EQ(bare.Save(), 0);
  EXPECT_NE(Shared().find("\r\nDS,\r\n"), std::string::npos) << Shared();
  EXPECT_TRUE(m_Events.Codes().empty()) << EventTexts();
}
