#include "client/listen_command.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <ostream>

#include "client/client_tool.h"
#include "client/datagram_decoder.h"
#include "client/datagram_output.h"
#include "client/udp_receiver.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kDefaultListenPort = 8088;  // the gateway's /rp default

struct Tally {
  unsigned long received = 0;
  unsigned long malformed = 0;
};

void PrintDatagram(const CommandLine& line, const ReceivedDatagram& datagram, Tally& tally,
                   std::ostream& out) {
  ++tally.received;
  const DecodeResult decoded = DecodeDatagram(datagram.bytes);
  if (!decoded.ok) {
    ++tally.malformed;
    out << (line.json ? MalformedJson(datagram.from, datagram.bytes.size(), decoded.reason)
                      : MalformedLine(datagram.from, decoded.reason));
  } else {
    out << (line.json ? DatagramJson(decoded.datagram, datagram.from)
                      : DatagramLine(decoded.datagram));
  }
  out << "\n" << std::flush;
}

// Receives until --count datagrams came or the deadline passed; false when receiving failed.
bool ReceiveAll(const CommandLine& line, CUdpReceiver& receiver, Tally& tally, std::ostream& out) {
  std::optional<Clock::time_point> deadline;
  if (line.timeout) {
    deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(*line.timeout * 1000));
  }
  while (!line.count || tally.received < *line.count) {
    auto wait = std::chrono::milliseconds(1000);
    if (deadline) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) break;
      wait = std::min(wait, left);
    }
    const auto datagram = receiver.Receive(wait);
    if (datagram) {
      PrintDatagram(line, *datagram, tally, out);
    } else if (receiver.Failed()) {
      return false;
    }
  }
  return true;
}

}  // namespace

int RunListen(const CommandLine& line, std::ostream& out, std::ostream& err,
              const std::function<void(std::uint16_t port)>& onListening) {
  CUdpReceiver receiver;
  std::string reason;
  if (!receiver.Open(line.bind, line.port.value_or(kDefaultListenPort), &reason)) {
    err << kProgram << ": " << reason << "\n";
    return kExitNoReply;
  }
  err << "listening on " << line.bind << ":" << receiver.Port() << "\n" << std::flush;
  if (onListening) onListening(receiver.Port());
  Tally tally;
  if (!ReceiveAll(line, receiver, tally, out)) {
    err << kProgram << ": receiving datagrams failed\n";
    return kExitNoReply;
  }
  if (line.count && tally.received < *line.count) {
    err << kProgram << ": " << tally.received << " of " << *line.count << " datagrams came within "
        << *line.timeout << " s\n";
    return kExitReplyNonZero;
  }
  if (tally.malformed > 0) {
    err << kProgram << ": " << tally.malformed << " malformed datagram"
        << (tally.malformed == 1 ? "" : "s") << "\n";
    return kExitReplyNonZero;
  }
  return kExitReplyZero;
}
