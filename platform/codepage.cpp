#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

const char* const kUtf16 = std::endian::native == std::endian::little ? "UTF-16LE" : "UTF-16BE";

std::mutex g_codePageMutex;
std::string g_codePage;  // empty until first read

bool IsUtf8Name(const std::string& name) {
  return name == "UTF-8" || name == "utf-8" || name == "UTF8" || name == "utf8";
}

// The locale's codeset; the plain C locale's ASCII counts as UTF-8, the encoding of our texts.
std::string ReadCodePage() {
  std::string name = ::nl_langinfo(CODESET);
  if (name.empty() || name == "ANSI_X3.4-1968" || name == "ASCII" || name == "US-ASCII") {
    return "UTF-8";
  }
  // A codeset that the converter does not know is taken as UTF-8 too.
  iconv_t probe = ::iconv_open(name.c_str(), "UTF-8");
  if (probe == reinterpret_cast<iconv_t>(-1)) return "UTF-8";
  ::iconv_close(probe);
  return name;
}

std::string CodePage() {
  std::lock_guard lock(g_codePageMutex);
  if (g_codePage.empty()) g_codePage = ReadCodePage();
  return g_codePage;
}

// Converts with iconv; each input unit that cannot be converted is skipped (skipUnit bytes, or
// the whole of an incomplete tail) and replaced by the replacement bytes.
std::string Convert(const char* to, const char* from, const char* data, std::size_t size,
                    std::size_t skipUnit, const std::string& replacement) {
  std::string out;
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    // Unknown code page: keep the bytes (the text is then taken as it is).
    return std::string(data, size);
  }
  char* in = const_cast<char*>(data);
  std::size_t inLeft = size;
  char buffer[1024];
  while (inLeft > 0) {
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    const std::size_t rc = ::iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    if (errno == EILSEQ) {
      // A surrogate pair that cannot be converted is skipped whole.
      std::size_t skip = skipUnit;
      if (skipUnit == 2 && inLeft >= 4) {
        WideChar unit;
        std::memcpy(&unit, in, 2);
        WideChar next;
        std::memcpy(&next, in + 2, 2);
        if (unit >= 0xD800 && unit < 0xDC00 && next >= 0xDC00 && next < 0xE000) skip = 4;
      }
      if (skip > inLeft) skip = inLeft;
      in += skip;
      inLeft -= skip;
      out += replacement;
      continue;
    }
    // EINVAL: an incomplete sequence at the end.
    out += replacement;
    break;
  }
  // Flush any shift state.
  char* outPtr = buffer;
  std::size_t outLeft = sizeof buffer;
  ::iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
  out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
  ::iconv_close(cd);
  return out;
}

}  // namespace

WideString MultiByteToWide(std::string_view text) {
  const std::string codePage = CodePage();
  const std::string replacement = [] {
    const WideChar unit = 0xFFFD;
    return std::string(reinterpret_cast<const char*>(&unit), 2);
  }();
  const std::string bytes =
      Convert(kUtf16, codePage.c_str(), text.data(), text.size(), 1, replacement);
  WideString result(bytes.size() / 2, OLESTR('\0'));
  std::memcpy(result.data(), bytes.data(), result.size() * 2);
  return result;
}

std::string WideToMultiByte(WideStringView text) {
  const std::string codePage = CodePage();
  return Convert(codePage.c_str(), kUtf16, reinterpret_cast<const char*>(text.data()),
                 text.size() * 2, 2, "?");
}

std::string SystemText(std::string_view utf8) {
  const std::string codePage = CodePage();
  if (IsUtf8Name(codePage)) return std::string(utf8);
  return Convert(codePage.c_str(), "UTF-8", utf8.data(), utf8.size(), 1, "?");
}

void RefreshSystemCodePage() {
  std::lock_guard lock(g_codePageMutex);
  g_codePage = ReadCodePage();
}
