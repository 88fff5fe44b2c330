// Fuzzes the client's reply parser and the readers of reply texts: any bytes must parse or be
// refused with a reason, and the texts of parsed replies must read as lines, indices, values
// and cancel ids or be refused, without undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/gateway_reply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::string reason;
  const auto reply = ParseReply(bytes, &reason);
  // Whatever the reply parser thinks of the bytes, the text readers take any text.
  const std::string text = reply ? reply->text : std::string(bytes);
  if (!reply && reason.empty()) std::abort();
  (void)ReplyLines(text);
  (void)ReplyIndices(text);
  if (const auto values = ReplySyncReadValues(text)) {
    for (const auto& value : *values) (void)QualityName(value.quality);
  }
  (void)ReplyCancelId(text);
  return 0;
}
