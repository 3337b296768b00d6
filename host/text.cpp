// SPDX-License-Identifier: Apache-2.0
// UTF-8 and UTF-16 conversion and the small text helpers of the host's units.
#include "host/host_internal.h"

namespace host {

std::u16string Utf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t code = 0xFFFD;
    size_t extra = 0;
    if (c < 0x80) {
      code = c;
    } else if ((c & 0xE0) == 0xC0) {
      code = c & 0x1F;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      code = c & 0x0F;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      code = c & 0x07;
      extra = 3;
    }
    ++i;
    for (size_t k = 0; k < extra; ++k, ++i) {
      if (i >= utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
        code = 0xFFFD;
        break;
      }
      code = (code << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
    }
    if (code >= 0x10000 && code <= 0x10FFFF) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code > 0x10FFFF ? 0xFFFD : code));
    }
  }
  return out;
}

std::string Utf8(std::u16string_view utf16) {
  std::string out;
  internal::AppendUtf8(utf16, &out);
  return out;
}

namespace internal {

void AppendUtf8(std::u16string_view utf16, std::string* to) {
  std::string& out = *to;
  out.reserve(out.size() + utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    uint32_t code = utf16[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code < 0xE000) {
      code = 0xFFFD;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
}

char16_t LowerAsciiUnit(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

std::u16string LowerAscii(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = LowerAsciiUnit(c);
  return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiUnit(a[i]) != LowerAsciiUnit(b[i])) return false;
  }
  return true;
}

size_t NoCaseHash::operator()(std::u16string_view text) const {
  // FNV-1a over the lower-cased units.
  uint64_t hash = 0xCBF29CE484222325u;
  for (char16_t c : text) {
    hash ^= LowerAsciiUnit(c);
    hash *= 0x100000001B3u;
  }
  return static_cast<size_t>(hash);
}

std::u16string_view BoundedText(const WCHAR* text) {
  if (!text) return {};
  size_t length = 0;
  while (length < kMaxScan && text[length] != 0) ++length;
  return std::u16string_view(reinterpret_cast<const char16_t*>(text), length);
}

size_t WideLength(const WCHAR* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace internal
}  // namespace host
