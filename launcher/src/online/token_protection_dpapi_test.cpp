// The data-protection body: what the OpenSSL body's tests check that still
// means something where the system keeps the key.
#include "online/token_protection.h"

#include "base/base64.h"
#include "online/account.h"
#include "testing/temp_dir.h"

#include <gtest/gtest.h>

#include <thread>

namespace launcher {
namespace {

namespace fs = std::filesystem;

const std::string token(64, 'T');

TEST(TokenProtectionDpapi, RoundTripAsOneLineOfBase64WithoutTheToken) {
  const std::string real = "b0f4c7e2a9d81f3365ce0a7b4d2e9f11c8a6b3d5e7f90a1b2c3d4e5f60718293";
  const std::string text = protectToken(real, {});
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_EQ(text.find(real), std::string::npos);
  std::string bytes;
  ASSERT_TRUE(decodeBase64(text, bytes));
  EXPECT_EQ(bytes.find(real), std::string::npos) << "the blob carries the token in the clear";
  EXPECT_EQ(unprotectToken(text, {}), real);
}

TEST(TokenProtectionDpapi, DamagedTextOpensNothing) {
  const std::string text = protectToken(token, {});
  ASSERT_FALSE(text.empty());
  std::string raw;
  ASSERT_TRUE(decodeBase64(text, raw));
  std::string flippedTail = raw;
  flippedTail.back() = static_cast<char>(flippedTail.back() ^ 1);
  std::string flippedMiddle = raw;
  flippedMiddle[raw.size() / 2] = static_cast<char>(flippedMiddle[raw.size() / 2] ^ 0x40);
  for (const std::string& bad :
       {std::string(), std::string("not base64!"), std::string("AAAA"), text.substr(0, text.size() - 8),
        encodeBase64(flippedTail), encodeBase64(flippedMiddle), encodeBase64(raw.substr(0, raw.size() / 2)),
        text + "\n", std::string(5000, 'A')}) {
    EXPECT_EQ(unprotectToken(bad, {}), "") << bad.substr(0, 40);
  }
  EXPECT_EQ(unprotectToken(text, {}), token);
}

TEST(TokenProtectionDpapi, ConcurrentSavesEachOpen) {
  std::vector<std::string> texts(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < texts.size(); ++i) {
    threads.emplace_back([&texts, i] { texts[i] = protectToken(token + std::to_string(i), {}); });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(unprotectToken(texts[i], {}), token + std::to_string(i));
}

TEST(TokenProtectionDpapi, AccountRoundTripWritesOnlyTheAccountFile) {
  testing::ScopedHome home;
  AccountStore store = defaultAccountStore();
  AccountRecord account;
  account.username = "Ace";
  account.server = "http://127.0.0.1:9";
  account.token = token;
  ASSERT_TRUE(saveAccount(account, store));
  const std::string text = testing::readFile(store.file);
  EXPECT_EQ(text.find(token), std::string::npos) << text;
  EXPECT_EQ(loadAccount(store).token, token);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(home.path())) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u) << "a key or another file beside account.json";
}

}  // namespace
}  // namespace launcher
