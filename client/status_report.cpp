#include "client/status_report.h"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <ostream>

using Json = nlohmann::ordered_json;

namespace {

std::vector<std::string> SplitAt(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = text.find(separator, at);
    parts.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) return parts;
    at = end + separator.size();
  }
}

std::optional<double> Number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0') return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::vector<std::vector<std::string>>> ReplyListLines(const std::string& text) {
  const std::vector<std::string> lines = SplitAt(text, "\r\n");
  const std::string& first = lines.front();
  const std::size_t blank = first.find(' ');
  const std::string count = first.substr(0, blank);
  if (count.empty() || count.size() > 9 ||
      !std::all_of(count.begin(), count.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  if (std::stoul(count) != lines.size() - 1) return std::nullopt;
  std::vector<std::vector<std::string>> fields;
  for (std::size_t i = 1; i < lines.size(); ++i) fields.push_back(SplitAt(lines[i], "\t"));
  return fields;
}

std::optional<StatusReport> ReadStatusReport(const std::string& text) {
  const auto lines = ReplyListLines(text);
  if (!lines) return std::nullopt;
  StatusReport report;
  for (const std::vector<std::string>& fields : *lines) {
    if (fields.size() < 2) return std::nullopt;
    if (fields[0] != "group_value_age_seconds") {
      report.figures.emplace_back(fields[0], fields[1]);
      continue;
    }
    const auto index = Number(fields[1]);
    const auto seconds = fields.size() > 2 ? Number(fields[2]) : std::nullopt;
    if (!index || !seconds || *index < 0) return std::nullopt;
    report.groupAges.emplace_back(static_cast<std::size_t>(*index), *seconds);
  }
  return report;
}

std::optional<std::string> StatusReport::Figure(const std::string& key) const {
  for (const auto& [name, value] : figures)
    if (name == key) return value;
  return std::nullopt;
}

bool StatusReport::ServerConnected() const {
  return Figure("server_connected") == "1";
}

std::string StatusReport::ServerState() const {
  return Figure("server_state").value_or(std::string());
}

std::optional<double> StatusReport::LargestValueAge() const {
  std::optional<double> largest;
  for (const auto& age : groupAges) largest = std::max(largest.value_or(age.second), age.second);
  return largest;
}

bool StatusReport::Healthy(double staleAfter) const {
  const std::optional<double> largest = LargestValueAge();
  return ServerConnected() && (!largest || *largest <= staleAfter);
}

void PrintStatusReport(std::ostream& out, const StatusReport& report, double staleAfter) {
  for (const auto& [name, value] : report.figures) out << "  " << name << ": " << value << "\n";
  for (const auto& [index, seconds] : report.groupAges)
    out << "  group " << index << ": last value change " << seconds << " s ago\n";
  const std::optional<double> largest = report.LargestValueAge();
  const std::string state = report.ServerState();
  if (!report.ServerConnected() && report.AwaitingFirstRequest()) {
    out << "NOT HEALTHY: the OPC server is not connected yet: no request has asked for it "
           "(nothing was lost; start the gateway with /connect to connect it at start)\n";
  } else if (!report.ServerConnected() && state == "lost") {
    out << "NOT HEALTHY: the OPC server was lost; the gateway is reconnecting\n";
  } else if (!report.ServerConnected() && state == "connecting") {
    out << "NOT HEALTHY: the OPC server could not be created yet; the gateway keeps trying\n";
  } else if (!report.ServerConnected()) {
    out << "NOT HEALTHY: the OPC server is not connected\n";
  } else if (largest && *largest > staleAfter) {
    out << "NOT HEALTHY: no value change for " << *largest << " s (more than " << staleAfter
        << " s)\n";
  } else {
    out << "healthy: the OPC server is connected"
        << (largest ? " and values are moving\n" : "; no group is active\n");
  }
}

void PrintStatusJson(std::ostream& out, const StatusReport& report, double staleAfter) {
  Json object;
  for (const auto& [name, value] : report.figures) {
    const auto number = Number(value);
    const bool whole = value.find('.') == std::string::npos;
    if (number && whole && name != "version") {
      object[name] = std::strtoll(value.c_str(), nullptr, 10);
    } else if (number && name != "version") {
      object[name] = *number;
    } else {
      object[name] = value;
    }
  }
  Json ages = Json::array();
  for (const auto& [index, seconds] : report.groupAges)
    ages.push_back({{"group", index}, {"seconds", seconds}});
  object["group_value_ages"] = ages;
  object["healthy"] = report.Healthy(staleAfter);
  out << object.dump() << "\n";
}
