#include <gtest/gtest.h>

#include <thread>

#include "config/ini_file.h"
#include "config/language_file.h"
#include "config_test_support.h"

namespace kvx {
namespace {

using test::ReadBytes;
using test::TempDir;
using test::WriteBytes;

TEST(ConfigIniFile, ReadsSectionsWithCrLfOrLf) {
  TempDir dir;
  for (const char* eol : {"\n", "\r\n"}) {
    SCOPED_TRACE(eol[0] == '\r' ? "CR LF" : "LF");
    const std::string e = eol;
    WriteBytes(dir / "station.ini", "; comment" + e + "[Ports]" + e + "Port-1-1.2=0" + e +
                                        " Port-1-12 = 1 " + e + e + "[0804]" + e +
                                        "MainForm=Lang/ChineseSimplified.lng" + e);
    IniFile ini(dir / "station.ini");
    EXPECT_EQ(ini.ReadSectionLines("Ports"),
              (std::vector<std::string>{"Port-1-1.2=0", "Port-1-12=1"}));
    EXPECT_EQ(ini.ReadString("0804", "MainForm", ""), "Lang/ChineseSimplified.lng");
    EXPECT_EQ(ini.ReadString("ports", "PORT-1-12", ""), "1") << "names compare without case";
    EXPECT_TRUE(ini.ReadSectionLines("Missing").empty());
  }
}

// Cases the fuzzer found: a file written back must read as before.
TEST(ConfigIniFile, WrittenBackReadsTheSame) {
  for (const char* text : {"[Ports]\r\nPort-1=0\r\r\n",                // CR CR LF
                           "\xEF\xBB\xBF\xEF\xBB\xBFk=v\n[S]\nk=w\n",  // two byte-order marks
                           "[ A ]junk\n x = y \n[]\n=\n"}) {
    const IniDocument doc = IniDocument::Parse(text);
    const IniDocument again = IniDocument::Parse(doc.Serialize());
    ASSERT_EQ(doc.sections().size(), again.sections().size()) << text;
    for (std::size_t i = 0; i < doc.sections().size(); ++i) {
      EXPECT_EQ(doc.sections()[i].name, again.sections()[i].name);
      EXPECT_EQ(doc.pairs(doc.sections()[i].name), again.pairs(doc.sections()[i].name));
    }
  }
  EXPECT_EQ(IniDocument::Parse("[Ports]\r\nPort-1=0\r\r\n").value("Ports", "Port-1"), "0");
  EXPECT_EQ(IniDocument::Parse("\xEF\xBB\xBF\xEF\xBB\xBFk=v\n").sections()[0].lines[0].key, "k");
}

TEST(ConfigIniFile, ReadIntegerGivesTheDefaultForAnythingButANumber) {
  TempDir dir;
  WriteBytes(dir / "s.ini", "[Ports]\na=999\nb=abc\nc= 12 \nd=12abc\ne=-3\nf=99999999999\ng=\n");
  IniFile ini(dir / "s.ini");
  const struct {
    const char* key;
    int value;
  } cases[] = {{"a", 999}, {"b", 255}, {"c", 12},  {"d", 255},
               {"e", -3},  {"f", 255}, {"g", 255}, {"absent", 255}};
  for (const auto& c : cases) EXPECT_EQ(ini.ReadInteger("Ports", c.key, 255), c.value) << c.key;
}

TEST(ConfigIniFile, WriteAndEraseKeepTheRestOfTheFile) {
  TempDir dir;
  WriteBytes(dir / "s.ini",
             "; station\r\n[0409]\r\nMainForm=Lang/English.lng\r\n[Ports]\r\nPort-1-1=0\r\n");
  IniFile ini(dir / "s.ini");
  ASSERT_TRUE(ini.WriteInteger("Ports", "Port-1-2", 1));
  ASSERT_TRUE(ini.WriteInteger("Ports", "port-1-1", 5));  // replaces, keeps the key's place
  EXPECT_EQ(ini.ReadSectionLines("Ports"), (std::vector<std::string>{"port-1-1=5", "Port-1-2=1"}));
  ASSERT_TRUE(ini.EraseSection("Ports"));
  EXPECT_EQ(ReadBytes(dir / "s.ini"), "; station\n[0409]\nMainForm=Lang/English.lng\n");
  // A value cannot smuggle a new line into the file.
  ASSERT_TRUE(ini.WriteString("0409", "MainForm", "x\n[Ports]\nPort-9=1"));
  EXPECT_TRUE(ini.ReadSectionLines("Ports").empty());
  // A missing file reads as empty and is created by the first write.
  IniFile fresh(dir / "new.ini");
  EXPECT_EQ(fresh.ReadInteger("Ports", "Port-1-1", 255), 255);
  EXPECT_TRUE(fresh.WriteInteger("Ports", "Port-1-1", 0));
  EXPECT_EQ(ReadBytes(dir / "new.ini"), "[Ports]\nPort-1-1=0\n");
}

// The port refresh and the window write the same file through their own objects.
TEST(ConfigIniFile, WritesFromTwoThreadsAreNotLost) {
  TempDir dir;
  auto writer = [&](const char* prefix) {
    IniFile ini(dir / "s.ini");
    for (int i = 0; i < 20; ++i)
      ASSERT_TRUE(ini.WriteInteger("Ports", prefix + std::to_string(i), i));
  };
  std::thread a(writer, "Port-1-"), b(writer, "Port-2-");
  a.join();
  b.join();
  EXPECT_EQ(IniFile(dir / "s.ini").ReadSectionLines("Ports").size(), 40u);
}

TEST(ConfigLanguageFile, TranslationsForOneWindow) {
  const LanguageFile f = LanguageFile::FromText(
      "[Translations]\r\n"
      "MainForm.Caption=Station\r\n"
      "MainForm.StartAll.Caption=Start All\r\n"
      "MainForm.StartAll.Hint=Start every port~~(Space)\r\n"
      "MainForm.VendorInfo.Text=Orvel\r\n"
      "MainForm.StartAll.Color=red\r\n"  // not a text property
      "mainform.StopAll.Caption=x\r\n"   // another window: exact comparison
      "OtherForm.Caption=y\r\n"
      "MainForm.a.b.Caption=z\r\n"
      "[EccOpen]\r\n"
      "0=none\r\nb=2 bits = fast\r\n");
  const auto t = f.TranslationsFor("MainForm");
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].component, "");
  EXPECT_EQ(t[0].text, "Station");
  EXPECT_EQ(t[2].component, "StartAll");
  EXPECT_EQ(t[2].property, TextProperty::Hint);
  EXPECT_EQ(t[2].text, "Start every port\n(Space)");
  EXPECT_EQ(t[3].property, TextProperty::Text);
  EXPECT_EQ(f.EccOptions(), (std::vector<std::string>{"none", "2 bits = fast"}));
}

TEST(ConfigLanguageFile, OddFilesGiveWhatTheyCanAndNoMore) {
  // No sections at all, and a very long line.
  const LanguageFile none =
      LanguageFile::FromText("MainForm.Caption=x\n" + std::string(1 << 20, 'y'));
  EXPECT_TRUE(none.TranslationsFor("MainForm").empty());
  EXPECT_TRUE(none.EccOptions().empty());
  // More ECC options than the scan's 3-bit level can take: the first eight.
  std::string many = "[EccOpen]\n";
  for (int i = 0; i < 12; ++i)
    many += "L" + std::to_string(i) + "=level " + std::to_string(i) + "\n";
  const auto options = LanguageFile::FromText(many).EccOptions();
  ASSERT_EQ(options.size(), kMaxEccOptions);
  EXPECT_EQ(options.back(), "level 7");
}

TEST(ConfigLanguageFile, CreatedFromTheWindowAndReadBack) {
  TempDir dir;
  const auto path = dir / "Lang/English.lng";
  ASSERT_TRUE(LanguageFile::Create(path, "MainForm",
                                   {{"", "Station", "", ""},
                                    {"N1", "-", "", ""},  // a menu separator
                                    {"StartAll", "Start All", "Two~~lines\nhere", ""},
                                    {"VendorInfo", "", "", "Orvel"}}));
  EXPECT_EQ(ReadBytes(path),
            "[Translations]\nMainForm.Caption=Station\nMainForm.StartAll.Caption=Start All\n"
            "MainForm.StartAll.Hint=Two~~lines~~here\nMainForm.VendorInfo.Text=Orvel\n");
  const auto back = LanguageFile::Load(path);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->TranslationsFor("MainForm").size(), 4u);
  EXPECT_FALSE(LanguageFile::Load(dir / "Lang/none.lng"));
}

TEST(ConfigLanguageFile, TheIniNamesTheFileOfTheLocale) {
  TempDir dir;
  IniFile ini(dir / "station.ini");
  EXPECT_EQ(ChooseLanguageFile(ini, 0x0409, dir.path()), dir / "Lang/English.lng");
  EXPECT_EQ(ini.ReadString("0409", "MainForm", ""), "Lang/English.lng") << "written back";
  EXPECT_EQ(ChooseLanguageFile(ini, 0x0804, dir.path()), dir / "Lang/ChineseSimplified.lng");
  EXPECT_EQ(ChooseLanguageFile(ini, 0x0C04, dir.path()), dir / "Lang/English.lng");
  ASSERT_TRUE(ini.WriteString("0404", "MainForm", ".\\Lang\\Mine.lng"));
  EXPECT_EQ(ChooseLanguageFile(ini, 0x0404, dir.path()), dir / "Lang/Mine.lng");
  EXPECT_EQ(LocaleSection(0x0c04), "0C04");
}

TEST(ConfigLanguageFile, StartAppliesAnExistingFileOrCreatesAMissingOne) {
  TempDir dir;
  IniFile ini(dir / "station.ini");
  const std::vector<ComponentTexts> window = {{"", "Station", "", ""},
                                              {"StartAll", "全部开始", "", ""}};
  const LanguageStart first = StartLanguage(ini, 0x0409, dir.path(), "MainForm", window);
  EXPECT_TRUE(first.created);
  EXPECT_TRUE(first.translations.empty());
  EXPECT_TRUE(first.eccOptions.empty());
  EXPECT_EQ(ReadBytes(dir / "Lang/English.lng"),
            "[Translations]\nMainForm.Caption=Station\nMainForm.StartAll.Caption=全部开始\n");

  WriteBytes(dir / "Lang/English.lng",
             "[Translations]\r\nMainForm.StartAll.Caption=Start All\r\n"
             "[EccOpen]\r\n0=off\r\n1=one\r\n");
  const LanguageStart second = StartLanguage(ini, 0x0409, dir.path(), "MainForm", window);
  EXPECT_FALSE(second.created);
  ASSERT_EQ(second.translations.size(), 1u);
  EXPECT_EQ(second.translations[0].text, "Start All");
  EXPECT_EQ(second.eccOptions, (std::vector<std::string>{"off", "one"}));
}

// The files shipped in the station folder.
TEST(ConfigLanguageFile, ShippedFilesOfferEightEccLevels) {
  const std::filesystem::path share =
      std::filesystem::path(__FILE__).parent_path() / "../../share/Lang";
  for (const char* name : {"English.lng", "ChineseSimplified.lng", "ChineseTraditional.lng"}) {
    SCOPED_TRACE(name);
    const auto f = LanguageFile::Load(share / name);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->EccOptions().size(), kMaxEccOptions);
    const auto t = f->TranslationsFor("MainForm");
    EXPECT_GT(t.size(), 20u);
    EXPECT_TRUE(std::any_of(t.begin(), t.end(), [](const Translation& x) {
      return x.component.empty();
    })) << "the window caption";
  }
}

}  // namespace
}  // namespace kvx
