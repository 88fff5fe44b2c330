// Fuzzes the request line reader (CHttpBlockingSocket::ReadHeaderLine) and the request
// tokenizer: arbitrary bytes arriving in arbitrary pieces must give lines of at most 99
// characters, tokens without separators and numbers without undefined behaviour; a line after
// the first that is longer than that refuses the request instead.
//
// The bytes are put into the connection's receive buffer the way Receive appends them; the
// connection has no socket, so a read that needs more bytes fails at once (as a closed client
// makes it fail) instead of waiting.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "net/http_blocking_socket.h"
#include "protocol/request_tokenizer.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckTokens(CRequestTokenizer& line) {
  while (const char* token = line.NextToken()) {
    Check(*token != '\0');
    Check(std::strpbrk(token, "\t\r\n") == nullptr);
    const std::int32_t value = CRequestTokenizer::ToInt(token);
    const std::uint32_t unsignedValue = CRequestTokenizer::ToUnsigned(token);
    (void)value;
    (void)unsignedValue;
  }
  Check(line.NextToken() == nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the size of the pieces in which the rest arrives.
  const std::size_t piece = 1 + data[0] % 200 * 7;
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  std::size_t left = size - 1;

  CHttpBlockingSocket connection;
  CRequestTokenizer line;
  while (left > 0) {
    const std::size_t count =
        static_cast<std::size_t>(connection.Feed(bytes, static_cast<int>(std::min(piece, left))));
    if (count == 0) break;  // a full buffer without a line feed: the reader must have thrown
    bytes += count;
    left -= count;
    try {
      for (;;) {
        const int length = line.ReadLine(connection);
        Check(length >= 0 && length < CRequestTokenizer::kLineCapacity);
        Check(line.Buffer()[length] == '\0');
        Check(connection.BufferedBytes() >= 0 &&
              connection.BufferedBytes() <= CHttpBlockingSocket::kLineBufferSize);
        CheckTokens(line);
      }
    } catch (const CBlockingSocketException&) {
      Check(line.IsEmptyLine());
    } catch (const CRequestLineTooLong& tooLong) {
      // Only a line after the first, and only one longer than the 99 characters kept.
      Check(connection.LastLineLength() >= CRequestTokenizer::kLineCapacity);
      Check(tooLong.Start().size() <= CRequestTokenizer::kLineCapacity - 1);
      Check(tooLong.Start().find_first_of("\r\n") == std::string::npos);
    }
  }

  // The tokenizer on its own, over the raw bytes as one line.
  line.SetLine(std::string_view(reinterpret_cast<const char*>(data), size));
  Check(line.LineLength() <= CRequestTokenizer::kLineCapacity - 1);
  CheckTokens(line);
  return 0;
}
