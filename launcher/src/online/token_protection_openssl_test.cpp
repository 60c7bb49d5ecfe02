#include "online/token_protection.h"

#include "online/account.h"
#include "testing/log_capture.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

const std::string token(64, 'T');

class TokenProtectionTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  TokenKeyPlace place_{dir_ / "config" / "vantor" / "session.key", "0123456789abcdef0123456789abcdef"};
};

TEST_F(TokenProtectionTest, RoundTripAsOneLineOfBase64) {
  const std::string real = "b0f4c7e2a9d81f3365ce0a7b4d2e9f11c8a6b3d5e7f90a1b2c3d4e5f60718293";
  const std::string text = protectToken(real, place_);
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find(real), std::string::npos);
  EXPECT_EQ(text.size(), 4 * ((12 + real.size() + 16 + 2) / 3));
  EXPECT_EQ(unprotectToken(text, place_), real);
  // A fresh nonce each time: the same token never gives the same text.
  EXPECT_NE(protectToken(real, place_), text);
}

TEST_F(TokenProtectionTest, KeyFileIsMadeOnlyWhenATokenIsSavedAndOnlyForItsOwner) {
  EXPECT_EQ(unprotectToken("AAAA", place_), "");
  EXPECT_FALSE(fs::exists(place_.keyFile));
  EXPECT_FALSE(fs::exists(place_.keyFile.parent_path()));

  ASSERT_FALSE(protectToken(token, place_).empty());
  ASSERT_TRUE(fs::exists(place_.keyFile));
  EXPECT_EQ(fs::file_size(place_.keyFile), 32u);
  EXPECT_EQ(fs::status(place_.keyFile).permissions() & fs::perms::all, fs::perms(0600));
  EXPECT_EQ(fs::status(place_.keyFile.parent_path()).permissions() & fs::perms::all, fs::perms(0700));
  const std::string key = readFile(place_.keyFile);
  ASSERT_FALSE(protectToken(token, place_).empty());
  EXPECT_EQ(readFile(place_.keyFile), key) << "a second save replaced the key";
}

TEST_F(TokenProtectionTest, AnotherKeyOrMachineCannotOpenIt) {
  const std::string text = protectToken(token, place_);
  ASSERT_FALSE(text.empty());

  TokenKeyPlace otherMachine = place_;
  otherMachine.machineId = "fedcba9876543210fedcba9876543210";
  EXPECT_EQ(unprotectToken(text, otherMachine), "");
  TokenKeyPlace noMachineId = place_;
  noMachineId.machineId.clear();
  EXPECT_EQ(unprotectToken(text, noMachineId), "");

  TokenKeyPlace otherUser{dir_ / "other-user" / "session.key", place_.machineId};
  ASSERT_FALSE(protectToken(token, otherUser).empty());  // makes the other user's key
  EXPECT_EQ(unprotectToken(text, otherUser), "");
}

TEST_F(TokenProtectionTest, AKeyOfTheWrongLengthOpensNothingAndIsNotReplaced) {
  const std::string text = protectToken(token, place_);
  std::string key = readFile(place_.keyFile);
  for (size_t length : {0u, 16u, 31u, 33u, 64u}) {
    std::string wrong = (key + key + key).substr(0, length);
    writeFile(place_.keyFile, wrong);
    EXPECT_EQ(unprotectToken(text, place_), "") << length;
    EXPECT_EQ(protectToken(token, place_), "") << length;
    EXPECT_EQ(readFile(place_.keyFile), wrong) << length;
  }
}

// A key file that is a link, is not a regular file, or that others may read
// or change protects nothing: it opens nothing, is removed (the link itself,
// never its target) with a "warn" line, and the next save makes a new key.
TEST_F(TokenProtectionTest, AKeyFileThatIsNotPrivateIsReplaced) {
  const std::string text = protectToken(token, place_);
  ASSERT_FALSE(text.empty());
  const std::string key = readFile(place_.keyFile);
  const fs::path elsewhere = dir_ / "elsewhere.key";
  struct Row {
    const char* what;
    std::function<void()> make;
    fs::path survivor;  // a file the removal must leave alone
  };
  const Row rows[] = {
      {"readable by others", [&] { fs::permissions(place_.keyFile, fs::perms(0644)); }, {}},
      {"writable by the group", [&] { fs::permissions(place_.keyFile, fs::perms(0620)); }, {}},
      {"a link to a private key",
       [&] {
         writeFile(elsewhere, key);
         fs::permissions(elsewhere, fs::perms(0600));
         fs::remove(place_.keyFile);
         fs::create_symlink(elsewhere, place_.keyFile);
       },
       elsewhere},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::error_code ec;
    fs::remove_all(place_.keyFile, ec);
    writeFile(place_.keyFile, key);
    fs::permissions(place_.keyFile, fs::perms(0600));
    ASSERT_EQ(unprotectToken(text, place_), token);
    row.make();
    EXPECT_EQ(unprotectToken(text, place_), "") << "a key that is not private opened the token";
    EXPECT_TRUE(fs::exists(fs::symlink_status(place_.keyFile))) << "only dropUnsafeTokenKey removes it";
    testing::LogCapture log;
    EXPECT_TRUE(dropUnsafeTokenKey(place_));
    EXPECT_FALSE(fs::exists(fs::symlink_status(place_.keyFile)));
    ASSERT_EQ(log.warnings().size(), 1u);
    EXPECT_EQ(log.warnings()[0].rfind("The session key file was not private (", 0), 0u) << log.warnings()[0];
    if (!row.survivor.empty()) {
      EXPECT_EQ(readFile(row.survivor), key) << "the link's target was touched";
    }
    EXPECT_FALSE(dropUnsafeTokenKey(place_)) << "nothing left to drop";
  }

  // A folder in its place is no key either; it is not removed (it may hold
  // anything), so nothing can be protected until it is gone.
  fs::create_directory(place_.keyFile);
  {
    testing::LogCapture log;
    EXPECT_EQ(unprotectToken(text, place_), "");
    EXPECT_FALSE(dropUnsafeTokenKey(place_));
    EXPECT_EQ(protectToken(token, place_), "");
    EXPECT_TRUE(fs::is_directory(place_.keyFile));
    EXPECT_FALSE(log.warnings().empty());
  }
  fs::remove(place_.keyFile);

  // Saving over a key that is not private makes a new, private one.
  writeFile(place_.keyFile, key);
  fs::permissions(place_.keyFile, fs::perms(0644));
  testing::LogCapture log;
  const std::string fresh = protectToken(token, place_);
  ASSERT_FALSE(fresh.empty());
  EXPECT_EQ(log.warnings().size(), 1u);
  EXPECT_NE(readFile(place_.keyFile), key);
  EXPECT_EQ(fs::status(place_.keyFile).permissions() & fs::perms::all, fs::perms(0600));
  EXPECT_EQ(unprotectToken(fresh, place_), token);
  EXPECT_EQ(unprotectToken(text, place_), "") << "the old key's text opened under the new key";
}

TEST_F(TokenProtectionTest, DamagedTextOpensNothing) {
  const std::string text = protectToken(token, place_);
  std::string flipped = text;
  flipped[20] = flipped[20] == 'A' ? 'B' : 'A';
  for (const std::string& bad :
       {std::string(), std::string("not base64!"), text.substr(0, text.size() - 4), flipped, text + "AAAA",
        std::string("AAAA"), std::string("=AAA"), std::string("A=AA"), text + "\n"}) {
    EXPECT_EQ(unprotectToken(bad, place_), "") << bad;
  }
  EXPECT_EQ(unprotectToken(text, place_), token);
}

TEST_F(TokenProtectionTest, RacingFirstSavesAgreeOnOneKey) {
  std::vector<std::string> texts(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < texts.size(); ++i) {
    threads.emplace_back([this, &texts, i] { texts[i] = protectToken(token, place_); });
  }
  for (auto& t : threads) t.join();
  for (const std::string& text : texts) EXPECT_EQ(unprotectToken(text, place_), token);
}

TEST_F(TokenProtectionTest, NoConfigFolderMeansNoProtection) {
  TokenKeyPlace nowhere{fs::path(), "id"};
  EXPECT_EQ(protectToken(token, nowhere), "");
  EXPECT_EQ(unprotectToken("AAAA", nowhere), "");
}

TEST(DefaultTokenKeyTest, KeyLivesInTheUsersConfigFolder) {
  testing::ScopedHome home;
  TokenKeyPlace place = defaultTokenKeyPlace();
  EXPECT_EQ(place.keyFile, home.path() / "home/.config" / "vantor" / "session.key");
  AccountStore store = defaultAccountStore();
  EXPECT_EQ(store.file.filename(), "account.json");
  AccountRecord account;
  account.username = "Ace";
  account.server = "http://127.0.0.1:9";
  account.token = token;
  EXPECT_FALSE(fs::exists(place.keyFile));
  EXPECT_FALSE(isSignedIn(loadAccount(store)));
  EXPECT_FALSE(fs::exists(place.keyFile)) << "loading made a key";
  ASSERT_TRUE(saveAccount(account, store));
  EXPECT_TRUE(fs::exists(place.keyFile));
  EXPECT_EQ(loadAccount(store).token, token);
}

}  // namespace
}  // namespace launcher
