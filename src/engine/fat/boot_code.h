#pragma once
// The built-in sectors a FAT volume image starts from: the master boot record
// and the boot-sector templates. The builder overwrites the partition entry and
// the BIOS parameter block fields; everything else in these sectors comes from
// here and ends up in every image.

#include <array>
#include <cstdint>

namespace kvx::fat {

using Sector = std::array<std::uint8_t, 512>;

// A PC master boot record: code that copies itself to 0000:0600, finds the
// partition entry marked active (0x80), reads that partition's first sector
// with an extended BIOS read (INT 13h, AH=42h, LBA from the entry) to
// 0000:7C00 and jumps to it with DS:SI at the entry. Empty partition table,
// 55 AA at bytes 510..511.
Sector MbrTemplate();

// Boot sector of a FAT12/FAT16 volume: jump EB 3C 90 to the code at byte 62,
// volume serial number 22 96 1B 00 (bytes 39..42), 55 AA. The code prints a
// "not bootable" notice, waits for a key and asks the BIOS for the next boot
// device (INT 19h).
Sector Fat16BootTemplate();

// Boot sector of a FAT32 volume: jump EB 58 90 to the code at byte 90, volume
// serial number D4 1E 5C 26 (bytes 67..70), bytes 52..63 zero, 55 AA. Same
// code as the FAT12/16 sector.
Sector Fat32BootTemplate();

// The FAT32 boot-code continuation sector (third built-in sector): the same
// notice routine, self-contained, placed for loading at 0000:7E00; 55 AA.
Sector Fat32ContinuationTemplate();

}  // namespace kvx::fat
