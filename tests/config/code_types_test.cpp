#include "config/code_types.h"

#include <gtest/gtest.h>

#include "config_test_support.h"

namespace kvx {
namespace {

using test::TempDir;
using test::WriteBytes;

// `n` bytes where the 32-bit word i is i * 0x01010101 + 7.
std::string Words(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i + 4 <= n; i += 4) {
    const std::uint32_t w = std::uint32_t(i / 4) * 0x01010101u + 7;
    for (int k = 0; k < 4; ++k) s[i + std::size_t(k)] = char(w >> (8 * k));
  }
  return s;
}

std::uint32_t XorOfWords(std::span<const std::uint8_t> b, std::size_t from, std::size_t count) {
  std::uint32_t x = 0;
  for (std::size_t i = 0; i < count; ++i) x ^= GetLe32(b, from + 4 * i);
  return x;
}

class ConfigCodeTypes : public ::testing::Test {
 protected:
  ConfigImage image;
  test::RecordingOperator op;
  MessageCatalogue messages{Language::English};
  FlashTypePage flash{image, op, messages};
  CodeTypePage page{image, flash, op, messages};
  TempDir dir;
};

TEST_F(ConfigCodeTypes, AddSetsEightSectorsAndOneCopyUpToEightEntries) {
  page.Fill();
  EXPECT_FALSE(page.deleteEnabled());
  page.Add();
  const ConstCodeTypeRecord r = std::as_const(image).codeTypeRecord(0);
  EXPECT_EQ(r.CodeName(), "not_named_code_type0");
  EXPECT_EQ(r.RealCodeLength(), 8);
  EXPECT_EQ(r.CodeLength(), 8);
  EXPECT_EQ(r.CodeCount(), 1);
  EXPECT_EQ(page.numberText(CodeNumber::CodeCount), "1");
  EXPECT_EQ(page.view().size(), 4096u);
  EXPECT_TRUE(page.deleteEnabled() && page.loadEnabled());
  for (int i = 1; i < 9; ++i) page.Add();
  EXPECT_EQ(image.codeTypeCount(), 8u);
  EXPECT_FALSE(page.addEnabled());
}

TEST_F(ConfigCodeTypes, LoadPutsTheChecksumIntoEveryCopy) {
  const struct {
    int count, length, real;
    std::size_t fileBytes;
    std::vector<std::size_t> checksumAt;  // byte offsets in the image
  } cases[] = {
      {1, 8, 8, 4096, {4092}},
      {2, 8, 4, 8192, {2044, 6140}},
      {8, 8, 8, 40000, {4092, 8 * 4096 - 4}},  // larger than the image: read up to its end
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fileBytes);
    image = ConfigImage{};
    page.Fill();
    page.Add();
    page.EditNumber(CodeNumber::CodeCount, std::to_string(c.count));
    page.EditNumber(CodeNumber::CodeLength, std::to_string(c.length));
    page.EditNumber(CodeNumber::RealCodeLength, std::to_string(c.real));
    const std::string content = Words(c.fileBytes);
    WriteBytes(dir / "boot.v2.img", content);
    ASSERT_TRUE(page.Load(dir / "boot.v2.img"));
    const auto img = std::as_const(image).codeTypeRecord(0).CodeImage();
    for (std::size_t at : c.checksumAt) {
      const std::size_t copyStart = at + 4 - std::size_t(c.real) * 512;
      EXPECT_EQ(GetLe32(img, at), XorOfWords(img, copyStart, std::size_t(c.real) * 128 - 1)) << at;
      EXPECT_NE(
          GetLe32(img, at),
          GetLe32(std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()),
                  at));
    }
    EXPECT_EQ(img[100], std::uint8_t(content[100])) << "the code proper is as read";
    EXPECT_EQ(image.codeTypeRecord(0).CodeName(), "boot");
    EXPECT_EQ(page.names()[0], "boot");
  }
}

TEST_F(ConfigCodeTypes, LoadEdgeFiles) {
  page.Fill();
  page.Add();
  auto img = image.codeTypeRecord(0).CodeImage();
  img[10] = 0x5A;
  // An empty file keeps the image (nothing read; the checksum of the old words).
  WriteBytes(dir / "noext", "");
  ASSERT_TRUE(page.Load(dir / "noext"));
  EXPECT_EQ(img[10], 0x5A);
  EXPECT_EQ(image.codeTypeRecord(0).CodeName(), "not_named_code_type");
  WriteBytes(dir / ".hidden", "x");
  ASSERT_TRUE(page.Load(dir / ".hidden"));
  EXPECT_EQ(image.codeTypeRecord(0).CodeName(), "not_named_code_type");
  // A file that cannot be opened changes nothing.
  EXPECT_FALSE(page.Load(dir / "missing.img"));
  EXPECT_FALSE(page.Load(dir.path()));
  EXPECT_EQ(img[0], 'x');

  // Damaged counts (a file from elsewhere) never reach past the image.
  image.codeTypeRecord(0).setByte(CodeTypeRecord::kCodeCount, 200);
  image.codeTypeRecord(0).setByte(CodeTypeRecord::kCodeLength, 200);
  image.codeTypeRecord(0).setByte(CodeTypeRecord::kRealCodeLength, 255);
  image.codeTypeRecord(1).setCodeName("neighbour");
  WriteBytes(dir / "big.img", Words(100000));
  ASSERT_TRUE(page.Load(dir / "big.img"));
  EXPECT_EQ(image.codeTypeRecord(1).CodeName(), "neighbour");
  EXPECT_EQ(page.view().size(), 32768u);
}

TEST_F(ConfigCodeTypes, NumberAndNameEditors) {
  page.Fill();
  page.Add();
  const struct {
    CodeNumber which;
    const char* text;
    EditResult::Outcome outcome;
    const char* replacement;
    std::uint8_t stored;
  } cases[] = {
      {CodeNumber::CodeCount, "12", EditResult::Stored, "8", 8},
      {CodeNumber::CodeCount, "2", EditResult::Stored, "", 2},
      {CodeNumber::CodeCount, "", EditResult::Rejected, "", 2},
      {CodeNumber::CodeLength, "x", EditResult::Rejected, "", 8},
      {CodeNumber::CodeLength, "-1", EditResult::Rejected, "", 8},
      {CodeNumber::RealCodeLength, "", EditResult::Unchanged, "", 8},
      {CodeNumber::RealCodeLength, "3", EditResult::Stored, "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const EditResult r = page.EditNumber(c.which, c.text);
    EXPECT_EQ(r.outcome, c.outcome);
    EXPECT_EQ(r.replacementText, c.replacement);
    const std::size_t off = c.which == CodeNumber::CodeCount    ? CodeTypeRecord::kCodeCount
                            : c.which == CodeNumber::CodeLength ? CodeTypeRecord::kCodeLength
                                                                : CodeTypeRecord::kRealCodeLength;
    EXPECT_EQ(image.codeType(0)[off], c.stored);
  }
  page.EditName(std::string(70, 'c'));
  EXPECT_EQ(image.codeTypeRecord(0).CodeName(), std::string(58, 'c'));
  page.EditName("");
  page.NameEditorLeft();
  EXPECT_EQ(image.codeTypeRecord(0).CodeName(), "not_named_code_type");
  EXPECT_EQ(page.nameText(), "not_named_code_type");
}

TEST_F(ConfigCodeTypes, DeleteRemovesTheFirstFlashTypeAndRenumbersTheOthers) {
  for (const char* n : {"c0", "c1", "c2"}) {
    page.Fill();
    page.Add();
    page.EditName(n);
  }
  // name, CodeType, ScanCode
  const struct {
    const char* name;
    std::uint8_t code, scan;
  } flashTypes[] = {{"A", 0, 2}, {"B", 0, 0}, {"C", 1, 1}, {"D", 2, 9}};
  for (std::size_t i = 0; i < 4; ++i) {
    FlashTypeRecord r = image.flashTypeRecord(i);
    r.setFlashName(flashTypes[i].name);
    r.setByte(FlashTypeRecord::kCodeType, flashTypes[i].code);
    r.setByte(FlashTypeRecord::kScanCode, flashTypes[i].scan);
  }
  flash.Fill();
  page.Fill();
  page.Select(0);
  op.answer = false;
  page.Delete();
  EXPECT_EQ(image.codeTypeCount(), 3u) << "cancelled";

  op.answer = true;
  page.Delete();
  ASSERT_EQ(op.questions.back().text, "Delete selected code type?");
  EXPECT_EQ(page.names(), (std::vector<std::string>{"c1", "c2"}));
  EXPECT_EQ(image.codeTypeRecord(0).CodeName(), "c1");
  EXPECT_EQ(image.codeTypeRecord(2).CodeName(), "");
  // A went with code type 0; the others still name the same firmware, and B,
  // whose firmware is gone, names none.
  EXPECT_EQ(flash.names(), (std::vector<std::string>{"B", "C", "D"}));
  const struct {
    const char* name;
    std::optional<std::size_t> code, scan;
    std::uint8_t codeByte;
  } expect[] = {{"B", std::nullopt, std::nullopt, 0xFF}, {"C", 0, 0, 0}, {"D", 1, std::nullopt, 1}};
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(expect[i].name);
    EXPECT_EQ(image.flashTypeRecord(i).FlashName(), expect[i].name);
    EXPECT_EQ(image.productCodeOf(i), expect[i].code);
    EXPECT_EQ(image.scanCodeOf(i), expect[i].scan);
    EXPECT_EQ(image.flashTypeRecord(i).CodeType(), expect[i].codeByte);
  }
  EXPECT_EQ(image.flashTypeRecord(2).ScanCode(), 9) << "a reference already out of range stays";
  EXPECT_EQ(page.selected(), 0);

  page.Select(1);
  page.Delete();
  page.Delete();
  EXPECT_TRUE(page.names().empty());
  EXPECT_FALSE(page.deleteEnabled() || page.loadEnabled());
  EXPECT_TRUE(page.view().empty());
}

TEST(ConfigCodeChecksum, ShortCodes) {
  std::vector<std::uint8_t> b(16, 0);
  PutLe32(b, 0, 0x11111111);
  PutLe32(b, 4, 0x22222222);
  CodeChecksum(b, 0);
  EXPECT_EQ(GetLe32(b, 0), 0x11111111u) << "nothing for zero sectors";
  CodeChecksum(b, 1);  // 128 words asked, 4 present: the span's last word
  EXPECT_EQ(GetLe32(b, 12), 0x33333333u);
  std::vector<std::uint8_t> one(4, 0xAB);
  CodeChecksum(one, 1);
  EXPECT_EQ(GetLe32(one, 0), 0xABABABABu) << "a single word stays itself";
}

}  // namespace
}  // namespace kvx
