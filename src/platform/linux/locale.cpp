#include "platform/linux/locale.h"

#include <cstdlib>
#include <string_view>

namespace kvx {
namespace {

struct LocaleMapping {
  std::string_view name;  // language_TERRITORY
  std::uint32_t id;
};

constexpr LocaleMapping kLocales[] = {
    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004},
    {"zh_MO", 0x1404}, {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09},
    {"en_CA", 0x1009}, {"de_DE", 0x0407}, {"fr_FR", 0x040C}, {"ja_JP", 0x0411},
    {"ko_KR", 0x0412}, {"ru_RU", 0x0419}, {"es_ES", 0x0C0A}, {"it_IT", 0x0410},
};

}  // namespace

std::uint32_t LocaleIdFromName(const std::string& name) {
  // Drop ".codeset" and "@modifier".
  const std::string_view full(name);
  const std::string_view base = full.substr(0, full.find_first_of(".@"));
  for (const auto& m : kLocales)
    if (m.name == base) return m.id;
  if (base == "zh") return 0x0804;
  return 0x0409;
}

std::uint32_t LocaleIdFromEnvironment() {
  for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(var);
    if (value && *value) return LocaleIdFromName(value);
  }
  return 0x0409;
}

}  // namespace kvx
