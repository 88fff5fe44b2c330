// Fuzzes the request line reader (CHttpBlockingSocket::ReadHeaderLine), the receiving of request
// lines into a received request and the cursor over them: arbitrary bytes arriving in arbitrary
// pieces must give lines of at most 99 characters, tokens without separators and numbers without
// undefined behaviour; a line after the first that is longer than that refuses the request
// instead, and the cursor meets the refusal where the receiver did.
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
  CReceivedRequest request;
  CRequestReceiver receiver(connection, request);
  CRequestTokenizer line(request);
  while (left > 0) {
    const std::size_t count =
        static_cast<std::size_t>(connection.Feed(bytes, static_cast<int>(std::min(piece, left))));
    if (count == 0) break;  // a full buffer without a line feed: the reader must have thrown
    bytes += count;
    left -= count;
    try {
      for (;;) {
        receiver.ReceiveLine();
        const int length = line.ReadLine();
        Check(length >= 0 && length < CRequestTokenizer::kLineCapacity);
        Check(connection.BufferedBytes() >= 0 &&
              connection.BufferedBytes() <= CHttpBlockingSocket::kLineBufferSize);
        CheckTokens(line);
      }
    } catch (const CBlockingSocketException&) {
      // Nothing was added: the cursor finds no line there, and an empty one.
      bool past = false;
      try {
        line.ReadLine();
      } catch (const CBlockingSocketException&) {
        past = true;
      }
      Check(past && line.IsEmptyLine());
    } catch (const CRequestLineTooLong& tooLong) {
      // Only a line after the first, and only one longer than the 99 characters kept.
      Check(connection.LastLineLength() >= CRequestTokenizer::kLineCapacity);
      Check(tooLong.Start().size() <= CRequestTokenizer::kLineCapacity - 1);
      Check(tooLong.Start().find_first_of("\r\n") == std::string::npos);
      bool met = false;
      try {
        line.ReadLine();
      } catch (const CRequestLineTooLong& again) {
        met = again.Start() == tooLong.Start();
      }
      Check(met && line.IsEmptyLine());
      break;  // the request is refused: nothing after it is read
    }
  }

  // The tokenizer on its own, over the raw bytes as one line.
  CReceivedRequest oneLine;
  AddFirstLine(oneLine, std::string_view(reinterpret_cast<const char*>(data), size));
  CRequestTokenizer first(oneLine);
  first.ReadLine();
  Check(first.LineLength() <= CRequestTokenizer::kLineCapacity - 1);
  CheckTokens(first);
  return 0;
}
