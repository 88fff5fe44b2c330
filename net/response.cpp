#include "net/response.h"

#include <cstdio>

#include "core/activity_log.h"
#include "net/blocking_socket.h"
#include "net/http_blocking_socket.h"
#include "platform/codepage.h"
#include "platform/string_format.h"

std::string FormatResponse(int code, const std::string& text) {
  char number[16];
  std::snprintf(number, sizeof number, "%d", code);
  std::string line = number;
  line += '\t';
  line += text;
  line += "\r\n";
  return line;
}

namespace {

// Writes the reply line through send; a socket failure loses it, any other failure is logged.
template <typename SendLine>
void WriteResponse(int code, const std::string& text, SendLine send) {
  std::string line;
  try {
    line = FormatResponse(code, text);
    send(line);
  } catch (const CBlockingSocketException&) {
    // The client is gone or stopped reading: the reply is lost, the connection closes as usual.
  } catch (...) {
    const unsigned lastError = static_cast<unsigned>(SocketLastError());
    try {
      LogToFile(StringPrintf(SystemText("调用Response(%s)时，程序抛出了异常。错误代码：%x").c_str(),
                             line.c_str(), lastError));
    } catch (...) {
      // Nothing is left to report to.
    }
  }
}

}  // namespace

void Response(CBlockingSocket& connection, int code, const std::string& text) {
  WriteResponse(code, text, [&connection](const std::string& line) {
    connection.SendAll(line.data(), static_cast<int>(line.size()), kResponseSeconds);
  });
}

void Response(CHttpBlockingSocket& connection, int code, const std::string& text) {
  WriteResponse(code, text,
                [&connection](const std::string& line) { connection.QueueReply(line); });
}
