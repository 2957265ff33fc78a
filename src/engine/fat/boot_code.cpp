#include "engine/fat/boot_code.h"

#include <algorithm>
#include <cstddef>

namespace kvx::fat {
namespace {

// Master boot record code, assembled for 0000:0600 (GNU as, .code16):
//   cli; xor ax,ax; mov ss,ax; mov sp,7C00h; mov ds,ax; mov es,ax; sti; cld
//   mov si,7C00h; mov di,0600h; mov cx,256; rep movsw; jmp 0:relocated
// relocated:
//   mov si,07BEh; mov cx,4
// find: cmp byte [si],80h; je found; add si,16; loop find
//   mov bx,msg_none; jmp fail
// found:                       ; disk address packet on the stack:
//   push dword 0; push dword [si+8]   ; LBA (64 bits)
//   push word 0; push word 7C00h      ; buffer 0000:7C00
//   push word 1; push word 10h        ; one sector, packet size 16
//   mov bp,si; mov si,sp; mov ah,42h; int 13h; mov si,bp; jc readfail
//   cmp word [7DFEh],0AA55h; jne noos; jmp 0:7C00h
// readfail: mov bx,msg_read; jmp fail
// noos: mov bx,msg_noos
// fail: mov al,[bx]; test al,al; jz halt
//   push bx; mov ah,0Eh; mov bx,7; int 10h; pop bx; inc bx; jmp fail
// halt: hlt; jmp halt
// (DL still holds the BIOS drive number the MBR was loaded from.)
constexpr std::uint8_t kMbrCode[] = {
    0xfa, 0x31, 0xc0, 0x8e, 0xd0, 0xbc, 0x00, 0x7c, 0x8e, 0xd8, 0x8e, 0xc0, 0xfb, 0xfc, 0xbe, 0x00,
    0x7c, 0xbf, 0x00, 0x06, 0xb9, 0x00, 0x01, 0xf3, 0xa5, 0xea, 0x1e, 0x06, 0x00, 0x00, 0xbe, 0xbe,
    0x07, 0xb9, 0x04, 0x00, 0x80, 0x3c, 0x80, 0x74, 0x0a, 0x83, 0xc6, 0x10, 0xe2, 0xf6, 0xbb, 0x79,
    0x06, 0xeb, 0x31, 0x66, 0x6a, 0x00, 0x66, 0xff, 0x74, 0x08, 0x6a, 0x00, 0x68, 0x00, 0x7c, 0x6a,
    0x01, 0x6a, 0x10, 0x89, 0xf5, 0x89, 0xe6, 0xb4, 0x42, 0xcd, 0x13, 0x89, 0xee, 0x72, 0x0d, 0x81,
    0x3e, 0xfe, 0x7d, 0x55, 0xaa, 0x75, 0x0a, 0xea, 0x00, 0x7c, 0x00, 0x00, 0xbb, 0x8d, 0x06, 0xeb,
    0x03, 0xbb, 0xac, 0x06, 0x8a, 0x07, 0x84, 0xc0, 0x74, 0x0c, 0x53, 0xb4, 0x0e, 0xbb, 0x07, 0x00,
    0xcd, 0x10, 0x5b, 0x43, 0xeb, 0xee, 0xf4, 0xeb, 0xfd,
    // "No active partition", "Error loading operating system", "Missing operating system"
    'N', 'o', ' ', 'a', 'c', 't', 'i', 'v', 'e', ' ', 'p', 'a', 'r', 't', 'i', 't', 'i', 'o', 'n',
    0, 'E', 'r', 'r', 'o', 'r', ' ', 'l', 'o', 'a', 'd', 'i', 'n', 'g', ' ', 'o', 'p', 'e', 'r',
    'a', 't', 'i', 'n', 'g', ' ', 's', 'y', 's', 't', 'e', 'm', 0, 'M', 'i', 's', 's', 'i', 'n',
    'g', ' ', 'o', 'p', 'e', 'r', 'a', 't', 'i', 'n', 'g', ' ', 's', 'y', 's', 't', 'e', 'm', 0};
static_assert(sizeof(kMbrCode) == 197);
static_assert(sizeof(kMbrCode) <= 440, "the code must end before the disk signature");

// Volume boot code, position-dependent only in the message address:
//   push cs; pop ds; mov si,msg
// next: lodsb; test al,al; jz key
//   push si; mov ah,0Eh; mov bx,7; int 10h; pop si; jmp next
// key: xor ah,ah; int 16h; int 19h
// hang: jmp hang
// msg: db "...", 0
constexpr std::uint8_t kNoticeCode[] = {
    0x0e, 0x1f, 0xbe, 0x00, 0x00,  // mov si, <message address>, patched below
    0xac, 0x84, 0xc0, 0x74, 0x0b, 0x56, 0xb4, 0x0e, 0xbb, 0x07, 0x00, 0xcd,
    0x10, 0x5e, 0xeb, 0xf0, 0x30, 0xe4, 0xcd, 0x16, 0xcd, 0x19, 0xeb, 0xfe};
constexpr std::size_t kNoticeMessageAddressAt = 3;
constexpr char kNoticeText[] =
    "This volume is not bootable. Put a system disk in and press a key to retry.\r\n";

// Places the notice routine at byte `at` of a sector that the BIOS (or a
// loader) puts at 0000:`loadAddress`.
void PutNoticeCode(Sector& s, std::size_t at, std::uint16_t loadAddress) {
  std::copy(std::begin(kNoticeCode), std::end(kNoticeCode), s.begin() + at);
  const std::size_t msgAt = at + sizeof(kNoticeCode);
  const auto address = static_cast<std::uint16_t>(loadAddress + msgAt);
  s[at + kNoticeMessageAddressAt] = static_cast<std::uint8_t>(address);
  s[at + kNoticeMessageAddressAt + 1] = static_cast<std::uint8_t>(address >> 8);
  std::copy(std::begin(kNoticeText), std::end(kNoticeText), s.begin() + msgAt);  // with NUL
}

void PutSignature(Sector& s) {
  s[510] = 0x55;
  s[511] = 0xAA;
}

}  // namespace

Sector MbrTemplate() {
  Sector s{};
  std::copy(std::begin(kMbrCode), std::end(kMbrCode), s.begin());
  PutSignature(s);
  return s;
}

Sector Fat16BootTemplate() {
  Sector s{};
  s[0] = 0xEB;
  s[1] = 0x3C;
  s[2] = 0x90;
  const std::uint8_t serial[] = {0x22, 0x96, 0x1B, 0x00};
  std::copy(std::begin(serial), std::end(serial), s.begin() + 39);
  PutNoticeCode(s, 62, 0x7C00);
  PutSignature(s);
  return s;
}

Sector Fat32BootTemplate() {
  Sector s{};
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  const std::uint8_t serial[] = {0xD4, 0x1E, 0x5C, 0x26};
  std::copy(std::begin(serial), std::end(serial), s.begin() + 67);
  PutNoticeCode(s, 90, 0x7C00);
  PutSignature(s);
  return s;
}

Sector Fat32ContinuationTemplate() {
  Sector s{};
  PutNoticeCode(s, 0, 0x7E00);
  PutSignature(s);
  return s;
}

}  // namespace kvx::fat
