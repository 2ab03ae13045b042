// The address book against real files: making, loading, changing, saving, the
// refusal of texts that would break the file, the named lock that keeps one book
// per user, and deleting it.
#include "store/address_book.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/tempdir.h"

namespace {

std::string Entries(const CTernAddressBook& book) {
  std::string out;
  for (const TernAddressBookEntry& e : book.List()) out += e.nickname + "=" + e.address + ";";
  return out;
}

}  // namespace

TEST(AddressBook, ANewUserGetsAnEmptyBookAndAFileWithTheHeaderAlone) {
  TempDir dir;
  {
    CTernAddressBook book(dir.Path(), "Jo");
    ASSERT_TRUE(book.Loaded());
    EXPECT_EQ(Entries(book), "");
    EXPECT_EQ(book.Path(), dir.File("jo/addressbook.bok"));
  }
  std::string text = TempDir::Read(dir.File("jo/addressbook.bok"));
  EXPECT_TRUE(text.starts_with("# 1 ")) << text;
  EXPECT_TRUE(text.ends_with("\r\n"));
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_EQ(std::filesystem::status(dir.File("jo")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_all);
}

TEST(AddressBook, LoadingTakesTheLastOfNicknamesThatDifferInCaseAndSkipsBrokenLines) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("jo"));
  dir.Write("jo/addressbook.bok",
            "# 1 900000000\r\nann\x1c" "ann@example.org\r\nteam\x1c" "a@x.org, b@y.org\r\n"
            "ANN\x1c" "Ann Other <ann2@example.org>\r\nno separator\r\n\x1c" "nobody@x\r\nempty\x1c\r\n"
            "bob\x1c" "bob@example.org\nZed\x1c" "zed@x\x1c" "more\r\n");
  CTernAddressBook book(dir.Path(), "jo");
  ASSERT_TRUE(book.Loaded());
  // Sorted without regard to case; a comma in an address is kept; the address is
  // everything after the first separator.
  EXPECT_EQ(Entries(book), "ANN=Ann Other <ann2@example.org>;bob=bob@example.org;team=a@x.org, b@y.org;"
                           "Zed=zed@x\x1cmore;");
  std::string address;
  EXPECT_TRUE(book.Find("Team", address));
  EXPECT_EQ(address, "a@x.org, b@y.org");
  EXPECT_FALSE(book.Find("nobody", address));
}

TEST(AddressBook, ChangesAreRefusedWhenTheyWouldBreakTheFileAndKeptWhenSaved) {
  TempDir dir;
  {
    CTernAddressBook book(dir.Path(), "jo");
    ASSERT_TRUE(book.Loaded());
    const struct {
      std::string nickname, address;
      int result;
    } cases[] = {
        {"ann", "ann@example.org", 0},
        {"Ann", "Ann <ann@example.org>", 0},  // the same entry, new letter case
        {"team", "a@x.org, b@y.org", 0},
        {"", "x@example.org", 1},
        {"x", "", 1},
        {"evil\r\nline", "x@example.org", 1},
        {"evil", "x@example.org\nmore\x1c" "field", 1},
        {"nul", std::string("x@exa\0mple.org", 14), 1},
        {"sep\x1c", "x@example.org", 1},
        {std::string(kTernNicknameLimit + 1, 'n'), "x@example.org", 1},
        {std::string(kTernNicknameLimit, 'n'), "long@example.org", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(book.Set(c.nickname, c.address), c.result) << c.nickname;
    EXPECT_EQ(book.Remove("LONG"), 1);
    EXPECT_EQ(book.Remove(std::string(kTernNicknameLimit, 'N')), 0);
    EXPECT_EQ(book.Save(), 0);
  }
  CTernAddressBook again(dir.Path(), "JO");
  ASSERT_TRUE(again.Loaded());
  EXPECT_EQ(Entries(again), "Ann=Ann <ann@example.org>;team=a@x.org, b@y.org;");
  // The previous file stays as "_old"; the book is for the server alone.
  EXPECT_TRUE(std::filesystem::exists(dir.File("jo/addressbook.bok_old")));
  EXPECT_EQ(std::filesystem::status(dir.File("jo/addressbook.bok")).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(AddressBook, AFileWithoutItsHeaderIsNotLoadedNorWrittenOver) {
  TempDir dir;
  std::filesystem::create_directories(dir.File("jo"));
  dir.Write("jo/addressbook.bok", "ann\x1c" "ann@example.org\r\n");
  {
    CTernAddressBook book(dir.Path(), "jo");
    EXPECT_FALSE(book.Loaded());
    EXPECT_EQ(book.Set("bob", "bob@example.org"), 1);
    EXPECT_EQ(book.Save(), 1);
  }
  EXPECT_EQ(TempDir::Read(dir.File("jo/addressbook.bok")), "ann\x1c" "ann@example.org\r\n");
  CTernAddressBook invalid(dir.Path(), "../jo");
  EXPECT_FALSE(invalid.Loaded());
  EXPECT_EQ(CTernAddressBook::Delete(dir.Path(), "../jo"), 1);
}

TEST(AddressBook, ASecondBookOfTheUserWaitsForTheFirstAndDeleteRemovesEveryFile) {
  TempDir dir;
  std::atomic<bool> secondLoaded{false};
  std::thread second;
  {
    CTernAddressBook first(dir.Path(), "jo");
    ASSERT_TRUE(first.Loaded());
    ASSERT_EQ(first.Set("ann", "ann@example.org"), 0);
    second = std::thread([&] {
      CTernAddressBook book(dir.Path(), "Jo");
      std::string address;
      // It sees what the first saved before it let go.
      secondLoaded = book.Loaded() && book.Find("ann", address);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(secondLoaded.load());
    ASSERT_EQ(first.Save(), 0);
    ASSERT_EQ(first.Save(), 0);
  }
  second.join();
  EXPECT_TRUE(secondLoaded.load());
  // Another user's book is not held up by jo's.
  {
    CTernAddressBook jo(dir.Path(), "jo");
    CTernAddressBook ann(dir.Path(), "ann");
    EXPECT_TRUE(ann.Loaded());
  }
  EXPECT_EQ(CTernAddressBook::Delete(dir.Path(), "JO"), 0);
  for (const char* name : {"addressbook.bok", "addressbook.bok_new", "addressbook.bok_old"})
    EXPECT_FALSE(std::filesystem::exists(dir.File(std::string("jo/") + name))) << name;
  EXPECT_EQ(CTernAddressBook::Delete(dir.Path(), "jo"), 0);
}
