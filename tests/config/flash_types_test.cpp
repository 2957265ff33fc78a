#include "config/flash_types.h"

#include <gtest/gtest.h>

#include "config_test_support.h"

namespace kvx {
namespace {

class ConfigFlashTypes : public ::testing::Test {
 protected:
  ConfigImage image;
  test::RecordingOperator op;
  MessageCatalogue messages{Language::English};
  FlashTypePage page{image, op, messages};

  // n entries named A, B, C, ... with byte 39 = the entry's letter.
  void Make(int n) {
    for (int i = 0; i < n; ++i) {
      image.flashTypeRecord(std::size_t(i)).setFlashName(std::string(1, char('A' + i)));
      image.flashTypeRecord(std::size_t(i))
          .setByte(FlashTypeRecord::kBlkPerScanStep, std::uint8_t('A' + i));
    }
    page.Fill();
  }
  std::string Names() const {
    std::string s;
    for (std::size_t i = 0; i < image.flashTypeCount(); ++i)
      s += image.flashTypeRecord(i).FlashName();
    return s;
  }
};

TEST_F(ConfigFlashTypes, FillSelectsTheLastEntry) {
  Make(3);
  EXPECT_EQ(page.names(), (std::vector<std::string>{"A", "B", "C"}));
  EXPECT_EQ(page.selected(), 2);
  EXPECT_EQ(page.text(FlashField::FlashName), "C");
}

TEST_F(ConfigFlashTypes, AddToAnEmptyListAndDeleteIt) {
  page.Fill();
  EXPECT_EQ(page.selected(), -1);
  page.Add();
  EXPECT_EQ(page.names(), std::vector<std::string>{"not_named_flash_type0"});
  EXPECT_EQ(image.flashTypeRecord(0).FlashName(), "not_named_flash_type0");
  EXPECT_TRUE(page.menu().del);
  page.Delete();
  ASSERT_EQ(op.questions.size(), 1u);
  EXPECT_EQ(op.questions[0].text, "Delete selected flash type?");
  EXPECT_EQ(op.questions[0].title, "Warning");
  EXPECT_TRUE(page.names().empty());
  EXPECT_EQ(page.selected(), -1);
  EXPECT_FALSE(page.menu().del);
  const auto rec = image.flashType(0);
  EXPECT_TRUE(std::all_of(rec.begin(), rec.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST_F(ConfigFlashTypes, AddNamesByCountAndStopsAtAFullTable) {
  Make(3);
  page.Add();
  EXPECT_EQ(page.names().back(), "not_named_flash_type3");
  for (int i = 4; i < 288; ++i) page.Add();
  EXPECT_EQ(image.flashTypeCount(), 288u);
  EXPECT_FALSE(page.menu().add);
  page.Add();
  EXPECT_EQ(page.names().size(), 288u);
}

TEST_F(ConfigFlashTypes, DeleteMovesTheSelection) {
  const struct {
    int select;
    bool answer;
    std::string names;
    int selected;
  } cases[] = {
      {2, true, "AB", 1},    // the last of three: the new last one
      {0, true, "BC", 0},    // the first: the new first one
      {1, false, "ABC", 1},  // cancelled: nothing changes
  };
  for (const auto& c : cases) {
    image = ConfigImage{};
    Make(3);
    page.Select(c.select);
    op.answer = c.answer;
    page.Delete();
    EXPECT_EQ(Names(), c.names);
    EXPECT_EQ(page.selected(), c.selected);
    // Records moved whole: byte 39 still belongs to its name.
    for (std::size_t i = 0; i < c.names.size(); ++i)
      EXPECT_EQ(image.flashTypeRecord(i).BlkPerScanStep(), std::uint8_t(c.names[i]));
  }
}

TEST_F(ConfigFlashTypes, UpDownAndTheirEnds) {
  Make(3);
  page.Select(0);
  page.Up();
  EXPECT_EQ(Names(), "ABC");
  page.Down();
  EXPECT_EQ(Names(), "BAC");
  EXPECT_EQ(page.selected(), 1);
  EXPECT_EQ(image.flashTypeRecord(1).BlkPerScanStep(), 'A');
  page.Select(2);
  page.Down();
  EXPECT_EQ(Names(), "BAC");
  page.Up();
  EXPECT_EQ(Names(), "BCA");
  EXPECT_EQ(page.names(), (std::vector<std::string>{"B", "C", "A"}));
}

TEST_F(ConfigFlashTypes, CopyMarksAPositionNotAContent) {
  Make(4);
  page.OpenMenu();
  EXPECT_FALSE(page.menu().paste);
  page.Select(2);
  page.Copy();
  page.Select(0);
  page.Delete();  // A goes; position 2 now holds D
  page.Select(0);
  page.Paste();
  EXPECT_EQ(Names(), "DCD");
  EXPECT_EQ(page.names()[0], "D");
  page.OpenMenu();
  EXPECT_TRUE(page.menu().paste);

  // A marked position beyond the list pastes nothing (it would paste an empty
  // record and end the table there).
  page.Select(2);
  page.Copy();
  page.Delete();
  page.Delete();
  page.Select(0);
  page.Paste();
  EXPECT_EQ(Names(), "D");

  page.Select(-1);
  page.OpenMenu();
  EXPECT_FALSE(page.menu().add || page.menu().del || page.menu().copy || page.menu().paste);
}

TEST_F(ConfigFlashTypes, FieldEditorsFollowTheirRules) {
  Make(1);
  using R = FlashTypeRecord;
  const struct {
    FlashField field;
    const char* text;
    std::size_t offset;
    int width;
    std::uint32_t stored;
    EditResult::Outcome outcome;
  } cases[] = {
      {FlashField::BlockPerChip, "70000", R::kBlockPerChip, 4, 70000, EditResult::Stored},
      {FlashField::BlockPerChip, "", R::kBlockPerChip, 4, 0, EditResult::Stored},
      {FlashField::PagePerBlock, "128", R::kPagePerBlock, 2, 128, EditResult::Stored},
      {FlashField::PagePerBlock, "12x", R::kPagePerBlock, 2, 128, EditResult::Rejected},
      {FlashField::SectorPerPage, "", R::kSectorPerPage, 1, 4, EditResult::Stored},
      {FlashField::SectorPerPage, "8", R::kSectorPerPage, 1, 8, EditResult::Stored},
      {FlashField::BlkPerScanStep, "", R::kBlkPerScanStep, 1, 1, EditResult::Stored},
      {FlashField::LogSectPerPage, "0", R::kLogSectPerPage, 1, 4, EditResult::Stored},
      {FlashField::LogSectPerPage, "", R::kLogSectPerPage, 1, 4, EditResult::Stored},
      {FlashField::ColumCycle, "258", R::kColumCycle, 1, 2, EditResult::Stored},  // low byte
      {FlashField::ReadSpeed, "7", R::kReadSpeed, 1, 0x07, EditResult::Stored},
      {FlashField::ReadSpeed, "1FF", R::kReadSpeed, 1, 0xFF, EditResult::Stored},
      {FlashField::ReadSpeed, "", R::kReadSpeed, 1, 0xFF, EditResult::Unchanged},
      {FlashField::EraseStatus, "zz", R::kEraseStatus, 1, 0xFF, EditResult::Stored},
      {FlashField::MainFlashID, "0xECD35195", R::kMainFlashId, 4, 0xECD35195, EditResult::Stored},
      {FlashField::MainFlashID, "xyz", R::kMainFlashId, 4, 0xFFFFFFFF, EditResult::Stored},
      {FlashField::MainFlashID, "", R::kMainFlashId, 4, 0, EditResult::Stored},
      {FlashField::ExtFlashID, "1234", R::kExtFlashId, 1, 0x34, EditResult::Stored},
  };
  const auto rec = image.flashType(0);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " at " + std::to_string(c.offset));
    EXPECT_EQ(page.Edit(c.field, c.text).outcome, c.outcome);
    const std::uint32_t v = c.width == 4   ? GetLe32(rec, c.offset)
                            : c.width == 2 ? GetLe16(rec, c.offset)
                                           : rec[c.offset];
    EXPECT_EQ(v, c.stored);
  }
  page.Edit(FlashField::BlockPerChip, "70000");
  EXPECT_EQ(image.flashTypeRecord(0).BlockPerChip16(), 4464u);
}

TEST_F(ConfigFlashTypes, NamesAndCheckBoxes) {
  Make(1);
  const std::string forty(40, 'n');
  page.Edit(FlashField::FlashName, forty);
  EXPECT_EQ(image.flashTypeRecord(0).FlashName(), forty.substr(0, 30));
  EXPECT_EQ(page.names()[0], forty) << "the list shows the whole text until the next start";
  page.Edit(FlashField::FlashName, "");
  EXPECT_EQ(image.flashTypeRecord(0).FlashName(), "not_named_flash_type");

  image.flashTypeRecord(0).setByte(FlashTypeRecord::kJumpFlags2, 0x81);
  const int isr1 = FlashFlagIndex("bJmp_isr1"), rsv = FlashFlagIndex("RsvByte1Bit7"),
            dd = FlashFlagIndex("DoubleDie");
  ASSERT_GE(isr1, 0);
  page.SetFlag(std::size_t(isr1), true);
  page.SetFlag(std::size_t(rsv), false);
  page.SetFlag(std::size_t(dd), true);
  EXPECT_EQ(image.flashTypeRecord(0).byteAt(98), 0x04);
  EXPECT_EQ(image.flashTypeRecord(0).byteAt(99), 0x01) << "other bits kept";
  EXPECT_TRUE(image.flashTypeRecord(0).DoubleDie());
  EXPECT_EQ(FlashFlagIndex("nope"), -1);
}

TEST_F(ConfigFlashTypes, ShowingARecordFillsTheEditors) {
  FlashTypeRecord r = image.flashTypeRecord(0);
  r.setFlashName("X");
  r.setMainFlashID(0xAD76);
  r.setByte(FlashTypeRecord::kWriteSpeed, 0x3C);
  r.setByte(FlashTypeRecord::kCodeType, 5);  // no such code type
  image.codeTypeRecord(0).setCodeName("code");
  page.Fill();
  EXPECT_EQ(page.text(FlashField::MainFlashID), "0000AD76");
  EXPECT_EQ(page.text(FlashField::WriteSpeed), "3C");
  EXPECT_EQ(page.text(FlashField::LogSectPerPage), "4");
  EXPECT_EQ(image.flashTypeRecord(0).LogSectPerPage(), 4) << "shown through the editor's rule";
  EXPECT_EQ(page.codeTypeItem(), -1);
  EXPECT_EQ(page.scanCodeItem(), 0);
  page.SetCodeType(3);  // not in the list
  EXPECT_EQ(image.flashTypeRecord(0).CodeType(), 5);
}

TEST_F(ConfigFlashTypes, EditorsDoNothingWithoutASelection) {
  page.Fill();
  EXPECT_EQ(page.Edit(FlashField::BlockPerChip, "5").outcome, EditResult::Unchanged);
  page.SetFlag(0, true);
  const auto b = image.bytes();
  EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; }));
}

}  // namespace
}  // namespace kvx
