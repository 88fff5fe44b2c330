// The status request ("ST") on the client side: the list reply's lines read into figures, the
// verdict that `quarnix-client status` exits with, and its two printouts (readable, JSON).
//
// A list reply's text is "N words" followed by N lines (CR LF between them), fields separated by
// TAB (docs/protocol.md, section 1.3). A status line is "key TAB value"; a group's value age is
// "group_value_age_seconds TAB index TAB seconds".
//
// Error rule: ReplyListLines and ReadStatusReport return nullopt for a text of another shape
// (a count that does not match the lines, a line without a TAB); nothing throws.
// Thread rule: any thread. Ownership: values returned.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The lines of a list reply's text, each split at TAB.
std::optional<std::vector<std::vector<std::string>>> ReplyListLines(const std::string& text);

struct StatusReport {
  std::vector<std::pair<std::string, std::string>> figures;  // in the reply's order
  std::vector<std::pair<std::size_t, double>> groupAges;     // group index, seconds

  // The value of key, or nullopt.
  std::optional<std::string> Figure(const std::string& key) const;
  bool ServerConnected() const;
  // The gateway's server_state line (empty from a gateway that sends none).
  std::string ServerState() const;
  // Not connected only because no request has asked for the server yet (started without
  // /connect): an idle gateway, not a loss.
  bool AwaitingFirstRequest() const { return ServerState() == "waiting_for_first_request"; }
  // The largest value age; nullopt when no group is active.
  std::optional<double> LargestValueAge() const;
  // Connected, and no active group's values older than staleAfter seconds.
  bool Healthy(double staleAfter) const;
};

std::optional<StatusReport> ReadStatusReport(const std::string& text);

// "server: connected ..." and one line per figure, then the verdict.
void PrintStatusReport(std::ostream& out, const StatusReport& report, double staleAfter);
// One JSON object: the figures by key (numbers as numbers), group_value_ages, healthy.
void PrintStatusJson(std::ostream& out, const StatusReport& report, double staleAfter);
