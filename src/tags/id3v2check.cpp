#include "tags/id3v2check.h"

#include <cstdint>

namespace qv::tags {
namespace {

constexpr std::size_t kHeaderBytes = 10;
constexpr unsigned char kFlagUnsync = 0x80;
constexpr unsigned char kFlagExtendedHeader = 0x40;
constexpr unsigned char kFlagFooter = 0x10;

unsigned Byte(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }

// 28-bit "synchsafe" integer: four bytes of seven bits each.
bool SyncSafe(std::string_view s, std::size_t at, std::uint32_t& value) {
  value = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    if (Byte(s, at + i) & 0x80) return false;
    value = (value << 7) | Byte(s, at + i);
  }
  return true;
}

std::uint32_t BigEndian(std::string_view s, std::size_t at, std::size_t bytes) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = (value << 8) | Byte(s, at + i);
  return value;
}

bool ValidFrameId(std::string_view id) {
  for (const char c : id) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

std::string Printable(std::string_view id) {
  std::string out;
  for (const char c : id) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

}  // namespace

std::size_t Id3v2TagSize(std::string_view header) {
  if (header.size() < kHeaderBytes || header.substr(0, 3) != "ID3") return 0;
  const unsigned major = Byte(header, 3);
  if (major < 2 || major > 4 || Byte(header, 4) == 0xFF) return 0;
  std::uint32_t size = 0;
  if (!SyncSafe(header, 6, size)) return 0;
  const bool footer = major == 4 && (Byte(header, 5) & kFlagFooter);
  return kHeaderBytes + size + (footer ? kHeaderBytes : 0);
}

Id3v2Check CheckId3v2Frames(std::string_view tag) {
  Id3v2Check check;
  check.tagBytes = Id3v2TagSize(tag);
  if (check.tagBytes == 0) return check;
  check.present = true;
  const unsigned major = Byte(tag, 3);
  const unsigned char flags = static_cast<unsigned char>(Byte(tag, 5));
  auto damage = [&](std::size_t at, std::string reason) {
    check.damaged = true;
    check.damageOffset = at;
    check.reason = std::move(reason);
    return check;
  };
  // Version 2.2 and 2.3 unsynchronise the whole tag, so the stored frame sizes do not match the
  // stored bytes; such tags are left to the library alone.
  if (major < 4 && (flags & kFlagUnsync)) return check;
  check.checked = true;

  const bool footer = major == 4 && (flags & kFlagFooter);
  const std::size_t end = check.tagBytes - (footer ? kHeaderBytes : 0);
  if (tag.size() < end) return damage(tag.size(), "the tag is cut short");

  std::size_t pos = kHeaderBytes;
  if (major >= 3 && (flags & kFlagExtendedHeader)) {
    if (end - pos < 4) return damage(pos, "the extended header is broken");
    std::uint32_t size = 0;
    if (major == 4) {
      if (!SyncSafe(tag, pos, size) || size < 6) {
        return damage(pos, "the extended header is broken");
      }
    } else {
      size = BigEndian(tag, pos, 4) + 4;  // version 2.3 does not count the size field itself
    }
    if (size > end - pos) return damage(pos, "the extended header is broken");
    pos += size;
  }

  const std::size_t idBytes = major == 2 ? 3 : 4;
  const std::size_t frameHeader = major == 2 ? 6 : 10;
  while (pos < end) {
    if (Byte(tag, pos) == 0) break;  // padding
    if (end - pos < frameHeader) return damage(pos, "a frame header is cut short");
    const std::string_view id = tag.substr(pos, idBytes);
    if (!ValidFrameId(id)) {
      return damage(pos, "a frame has the invalid name \"" + Printable(id) + "\"");
    }
    std::uint32_t size = 0;
    if (major == 2) {
      size = BigEndian(tag, pos + 3, 3);
    } else if (major == 3 || !SyncSafe(tag, pos + 4, size)) {
      // Some writers store plain sizes in version 2.4 tags; the library reads them as such.
      size = BigEndian(tag, pos + 4, 4);
    }
    if (size == 0) return damage(pos, "the frame \"" + Printable(id) + "\" is empty");
    if (size > end - pos - frameHeader) {
      return damage(pos, "the frame \"" + Printable(id) + "\" runs past the end of the tag");
    }
    pos += frameHeader + size;
  }
  return check;
}

}  // namespace qv::tags
