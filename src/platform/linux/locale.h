#pragma once
// The user's locale as the Windows locale identifier the station's tables use.

#include <cstdint>
#include <string>

namespace kvx {

// From a POSIX locale name such as "zh_CN.UTF-8" or "en_US": zh_CN 0x0804,
// zh_TW 0x0404, zh_HK 0x0C04, zh_SG 0x1004, zh_MO 0x1404, en_US 0x0409,
// en_GB 0x0809, ...; an unknown name, "C" and "POSIX" give 0x0409.
std::uint32_t LocaleIdFromName(const std::string& name);

// The first set of LC_ALL, LC_MESSAGES and LANG, mapped as above.
std::uint32_t LocaleIdFromEnvironment();

}  // namespace kvx
