#pragma once
// Message ids and texts. Ids from 32768 up are the station's own messages in
// three languages; smaller ids are operating-system error codes whose system
// text is given instead.

#include <cstdint>
#include <initializer_list>
#include <string>

namespace kvx {

using MessageId = std::uint32_t;

enum class Language { English, SimplifiedChinese, TraditionalChinese };

// Windows locale identifiers the station's tables are keyed by.
inline constexpr std::uint32_t kLocaleEnglishUs = 0x0409;
inline constexpr std::uint32_t kLocaleChinesePrc = 0x0804;
inline constexpr std::uint32_t kLocaleChineseTaiwan = 0x0404;
inline constexpr std::uint32_t kLocaleChineseHongKong = 0x0C04;

// 0x0804 -> Simplified Chinese, 0x0404 -> Traditional Chinese, anything else
// (Hong Kong's 0x0C04 included) -> English.
Language LanguageForLocale(std::uint32_t localeId);

// Message ids used by the station.
namespace msg {
inline constexpr MessageId kInformation = 32770;
inline constexpr MessageId kError = 32771;
inline constexpr MessageId kWarning = 32772;
inline constexpr MessageId kExitQuestion = 32778;
inline constexpr MessageId kScanning = 32786;
inline constexpr MessageId kWritingConfig = 32789;
inline constexpr MessageId kFinished = 32790;
inline constexpr MessageId kScanFinished = 32792;
inline constexpr MessageId kLogicalScan = 32797;
inline constexpr MessageId kCopyingFiles = 32799;
inline constexpr MessageId kPcs = 32803;
inline constexpr MessageId kType = 32804;
inline constexpr MessageId kUnknownFlash = 32805;
inline constexpr MessageId kNoFlash = 32806;
inline constexpr MessageId kDeleteCodeType = 32848;
inline constexpr MessageId kDeleteFlashType = 32849;
inline constexpr MessageId kLowLevel = 32850;
inline constexpr MessageId kMpcsHighFormat = 32851;
inline constexpr MessageId kHighFormat = 32852;
inline constexpr MessageId kStopIt = 33022;
inline constexpr MessageId kStopAll = 33023;
inline constexpr MessageId kCancel = 33025;
inline constexpr MessageId kAutoplayMissing = 33034;
inline constexpr MessageId kEraseError = 33287;
inline constexpr MessageId kWriteError = 33288;
inline constexpr MessageId kReadError = 33289;
inline constexpr MessageId kSysInfoReadError = 33290;
inline constexpr MessageId kSysInfoWriteError = 33291;
inline constexpr MessageId kSysInfoVerifyError = 33292;
inline constexpr MessageId kMemoryError = 33293;
inline constexpr MessageId kScanError = 33295;
inline constexpr MessageId kOpenFileError = 33299;
inline constexpr MessageId kFileVerifyError = 33301;
inline constexpr MessageId kCopyError = 33302;
inline constexpr MessageId kTooManyBadBlocks = 33305;
inline constexpr MessageId kDownloadError = 33313;
inline constexpr MessageId kConfigTableError = 33314;
inline constexpr MessageId kSysInfoPositionError = 33315;
}  // namespace msg

// The message table of one language. Constant after construction, so any
// thread may look texts up at the same time.
class MessageCatalogue {
 public:
  explicit MessageCatalogue(Language language = Language::English) : language_(language) {}

  Language language() const { return language_; }

  // The text of `id`, or nullptr when there is none: id 0, a station id the
  // table lacks, or an OS code the system has no text for. OS texts (ids
  // 1..32767) are cut to 128 characters and live in a per-thread buffer that
  // stays valid until the same thread asks for the next OS text.
  const char* text(MessageId id) const;

  // text(id) as a string; empty where text() gives nullptr.
  std::string str(MessageId id) const;

 private:
  Language language_;
};

// The C library's text for errno value `code`, at most 128 characters, or an
// empty string when it has none ("Unknown error N").
std::string SystemErrorText(int code);

// Replaces each "%d" of `format` by the next value, in order; every other
// character, "%" and "$p" included, is copied unchanged. A message text is
// never handed to printf. Missing values leave "%d" as it stands.
std::string FormatMessageText(const std::string& format, std::initializer_list<long long> values);

}  // namespace kvx
