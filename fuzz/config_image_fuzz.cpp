// config.dat as any file could hold it: the input fills the settings header,
// the first flash types, the tail settings and the first code type, then the
// station shows it, edits the tables and collects the form again. Nothing may
// read or write outside the image.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "config/settings_form.h"

namespace {

// Copies the next part of the input into the image at `off`.
void Take(const std::uint8_t*& data, std::size_t& size, kvx::ConfigImage& image, std::size_t off,
          std::size_t n) {
  n = std::min(n, size);
  std::memcpy(image.bytes().data() + off, data, n);
  data += n;
  size -= n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kvx::ConfigImage;
  ConfigImage image;
  std::uint8_t ops = size > 0 ? data[0] : 0;
  Take(data, size, image, 0, ConfigImage::kHeaderSize);
  Take(data, size, image, ConfigImage::kFlashTypeOffset, 4 * ConfigImage::kFlashTypeSize);
  Take(data, size, image, ConfigImage::kTailOffset, ConfigImage::kTailSize);
  Take(data, size, image, ConfigImage::kCodeTypeOffset, 2 * ConfigImage::kCodeTypeSize);

  kvx::LiveOptions live;
  kvx::FixedAnswerOperator op(true);
  kvx::MessageCatalogue messages;
  kvx::SettingsPages pages(image, live, op, messages, "/nonexistent-kvx-station");
  pages.Start({"0", "1", "2"});

  auto& flash = pages.flashTypes();
  auto& code = pages.codeTypes();
  if (ops & 1) flash.Up();
  if (ops & 2) {
    flash.Select(0);
    flash.Copy();
    flash.Down();
    flash.Paste();
  }
  if (ops & 4) flash.Delete();
  if (ops & 8) code.Delete();
  if (ops & 16) flash.Edit(kvx::FlashField::BlockPerChip, "70000");
  if (ops & 32) code.EditNumber(kvx::CodeNumber::CodeCount, "8");
  for (std::size_t i = 0; i < image.codeTypeCount(); ++i) {
    auto rec = image.codeTypeRecord(i);
    kvx::CodeChecksum(rec.CodeImage().first(rec.UsedImageBytes()), rec.RealCodeLength());
  }
  volatile std::size_t sink = code.view().size();
  (void)sink;
  pages.ApplyForm();
  (void)image.SelectedFlashType();
  return 0;
}
