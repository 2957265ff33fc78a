#include "engine/messages.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/message_table.h"
#include "platform/linux/locale.h"

namespace kvx {
namespace {

TEST(MessageCatalogue, HoldsEveryMessageOnceInEachLanguage) {
  std::set<MessageId> ids;
  for (const auto& e : kMessageTable) {
    EXPECT_TRUE(ids.insert(e.id).second) << e.id;
    EXPECT_GE(e.id, 32768u);
    for (const char* t : {e.english, e.simplifiedChinese, e.traditionalChinese}) {
      ASSERT_NE(t, nullptr);
      EXPECT_LT(std::string(t).size(), 128u * 3) << e.id;
    }
  }
  EXPECT_EQ(ids.size(), 53u);
}

TEST(MessageCatalogue, TextsPerLanguage) {
  struct {
    Language language;
    MessageId id;
    const char* text;
  } cases[] = {
      {Language::English, 33022, "Stop it?"},
      {Language::SimplifiedChinese, 33022, "真的要停止对该盘的量产进程吗？"},
      {Language::TraditionalChinese, 33022, "真的要停止對該盤的量產進程嗎？"},
      {Language::English, 32786, " Scaning......Total: %d  BadPages: %d  ...Progress: $p%..."},
      {Language::TraditionalChinese, 32786,
       "   正在掃描... 總塊數: %d  壞頁數: %d  ...進度: $p%..."},
      {Language::English, 33287, "Error while erasing flash "},
      {Language::SimplifiedChinese, 32790, "量产完毕。坏页数: %d  容量: %dMB（固定为: %dMB）"},
      {Language::English, 32778, "Exit DEDuro?"},
  };
  for (const auto& c : cases) {
    MessageCatalogue m(c.language);
    ASSERT_NE(m.text(c.id), nullptr) << c.id;
    EXPECT_STREQ(m.text(c.id), c.text);
  }
}

TEST(MessageCatalogue, MissingIdsGiveNoText) {
  MessageCatalogue m(Language::English);
  EXPECT_EQ(m.text(0), nullptr);
  EXPECT_EQ(m.text(40000), nullptr);
  EXPECT_EQ(m.text(32768), nullptr);
  EXPECT_EQ(m.str(40000), "");
}

TEST(MessageCatalogue, OsCodesGiveTheSystemText) {
  MessageCatalogue m(Language::SimplifiedChinese);
  ASSERT_NE(m.text(EACCES), nullptr);
  EXPECT_EQ(std::string(m.text(EACCES)), "Permission denied");
  EXPECT_LE(std::string(m.text(EIO)).size(), 128u);
  EXPECT_EQ(m.text(32000), nullptr) << "no system text for that code";
}

TEST(MessageCatalogue, OsTextsAreSafeOnManyThreads) {
  MessageCatalogue m(Language::English);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      const int code = t % 2 ? ENOENT : EACCES;
      const std::string expected = t % 2 ? "No such file or directory" : "Permission denied";
      for (int i = 0; i < 2000; ++i) {
        if (m.text(code) != expected) ++wrong;
        if (m.str(33022) != "Stop it?") ++wrong;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(LocaleChoice, LocaleIdToLanguage) {
  EXPECT_EQ(LanguageForLocale(0x0804), Language::SimplifiedChinese);
  EXPECT_EQ(LanguageForLocale(0x0404), Language::TraditionalChinese);
  EXPECT_EQ(LanguageForLocale(0x0C04), Language::English);
  EXPECT_EQ(LanguageForLocale(0x0409), Language::English);
  EXPECT_EQ(LanguageForLocale(0x0407), Language::English);
}

TEST(LocaleChoice, PosixNamesToLocaleIds) {
  struct {
    const char* name;
    std::uint32_t id;
  } cases[] = {{"zh_CN.UTF-8", 0x0804}, {"zh_TW.UTF-8", 0x0404}, {"zh_HK.UTF-8", 0x0C04},
               {"zh_CN.GB18030@pinyin", 0x0804}, {"en_US.UTF-8", 0x0409}, {"C", 0x0409},
               {"POSIX", 0x0409}, {"", 0x0409}, {"de_DE.UTF-8", 0x0407}};
  for (auto c : cases) EXPECT_EQ(LocaleIdFromName(c.name), c.id) << c.name;
}

TEST(FormatMessageText, ReplacesOnlyPercentD) {
  EXPECT_EQ(FormatMessageText(" Scaning......Total: %d  BadPages: %d  ...Progress: $p%...",
                              {4096, 12}),
            " Scaning......Total: 4096  BadPages: 12  ...Progress: $p%...");
  EXPECT_EQ(FormatMessageText("%s %n %x %d%%", {5}), "%s %n %x 5%%");
  EXPECT_EQ(FormatMessageText("%d/%d", {1}), "1/%d");
  EXPECT_EQ(FormatMessageText("100%", {}), "100%");
  EXPECT_EQ(FormatMessageText("%d", {-3}), "-3");
}

}  // namespace
}  // namespace kvx
