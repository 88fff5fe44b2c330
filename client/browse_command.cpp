#include "client/browse_command.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <ostream>

#include "client/client_tool.h"
#include "client/gateway_client.h"
#include "client/request_builder.h"
#include "client/typed_value.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr std::uint16_t kDefaultRequestPort = 8089;
constexpr double kDefaultTimeoutSeconds = 10;
constexpr char kMoreWith[] = "more with ";

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

CGatewayClient ClientOf(const CommandLine& line) {
  const double seconds = line.timeout.value_or(kDefaultTimeoutSeconds);
  return CGatewayClient(line.host, line.port.value_or(kDefaultRequestPort),
                        std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
}

// One exchange; the exit status when it did not give a list reply of code 0 (printed), else -1.
int Exchange(const CommandLine& line, const std::string& request, std::ostream& out,
             std::ostream& err, ListReply& list) {
  const ExchangeResult result = ClientOf(line).Exchange(request);
  if (line.raw) out << result.raw << std::flush;
  if (!result.Ok()) {
    err << kProgram << ": " << result.message << "\n";
    return kExitNoReply;
  }
  if (result.reply.code != 0) {
    if (!line.raw) out << "code " << result.reply.code << ": " << result.reply.text << "\n";
    return kExitReplyNonZero;
  }
  const auto parsed = ReplyList(result.reply.text);
  if (!parsed) {
    err << kProgram << ": the reply is not a list: " << result.reply.text << "\n";
    return kExitNoReply;
  }
  list = *parsed;
  return -1;
}

std::string NextOf(const ListReply& list) {
  const std::size_t at = list.words.find(kMoreWith);
  return at == std::string::npos ? std::string() : list.words.substr(at + sizeof kMoreWith - 1);
}

void PrintEntries(const CommandLine& line, const ListReply& list, std::ostream& out) {
  for (const auto& fields : list.lines) {
    const bool branch = !fields.empty() && fields[0] == "B";
    const std::string name = fields.size() > 1 ? fields[1] : "";
    const std::string id = fields.size() > 2 ? fields[2] : "";
    if (line.json && !line.raw)
      out << Dump({{"kind", branch ? "branch" : "leaf"}, {"name", name}, {"id", id}}) << "\n";
    else if (!line.raw)
      out << (branch ? "  branch " : "  leaf   ") << name << "  (" << id << ")\n";
  }
}

BrowseQuery QueryOf(const CommandLine& line) {
  BrowseQuery query;
  query.branch = line.branch;
  query.pattern = line.pattern;
  query.continuation = line.continuation;
  query.pageSize = line.pageSize;
  query.kind = line.kind == "branches" ? 'B' : line.kind == "leaves" ? 'L' : '*';
  query.access = line.access;
  return query;
}

}  // namespace

void AddBrowseArguments(CLI::App& app, CommandLine& line) {
  app.add_option("BRANCH", line.branch, "the branch's ID as a page shows it; default the root");
  app.add_option("--filter", line.pattern, "name pattern for the server (* ? # [..])");
  app.add_option("--page-size", line.pageSize, "entries per page, 1 to 1000 (default 100)")
      ->check(CLI::Range(1, 1000));
  app.add_option("--kind", line.kind, "all (default), branches or leaves")
      ->check(CLI::IsMember({"all", "branches", "leaves"}));
  app.add_option("--access", line.access, "leaves that are R, W or RW; * any (default)")
      ->check(CLI::IsMember({"*", "R", "W", "RW"}));
  app.add_option("--continue", line.continuation, "the value a page printed after \"next:\"");
  app.add_flag("--all", line.all, "follow the pages to the end (up to --max entries)");
  app.add_option("--max", line.maxEntries, "most entries --all reads (default 10000)")
      ->check(CLI::Range(1ul, 100000000ul));
  app.add_flag("--json", line.json, "one JSON object per entry");
}

void AddPropertiesArguments(CLI::App& app, CommandLine& line) {
  app.add_option("ITEM", line.itemId, "item ID")->required();
  app.add_option("ID", line.propertyIds, "property ids; default every one the server offers");
  app.add_flag("--json", line.json, "one JSON object per property");
}

int RunBrowse(const CommandLine& line, std::ostream& out, std::ostream& err) {
  BrowseQuery query = QueryOf(line);
  unsigned long shown = 0;
  for (;;) {
    if (line.all) {  // the last page asks only for what --max still allows
      const unsigned long left = line.maxEntries - shown;
      query.pageSize = static_cast<int>(std::min<unsigned long>(line.pageSize, left));
    }
    std::string request;
    try {
      request = BrowseRequest(query);
    } catch (const std::invalid_argument& refused) {
      throw CUsageError(std::string("browse: ") + refused.what());
    }
    ListReply list;
    const int status = Exchange(line, request, out, err, list);
    if (status >= 0) return status;
    PrintEntries(line, list, out);
    shown += list.lines.size();
    query.continuation = NextOf(list);
    if (query.continuation.empty()) return kExitReplyZero;
    if (!line.all || shown >= line.maxEntries) break;
  }
  if (line.raw) return kExitReplyZero;
  if (line.json)
    out << Dump({{"next", query.continuation}}) << "\n";
  else
    out << "next: " << query.continuation << "\n";
  return kExitReplyZero;
}

int RunProperties(const CommandLine& line, std::ostream& out, std::ostream& err) {
  std::string request;
  try {
    request = ItemPropertiesRequest(line.itemId, line.propertyIds);
  } catch (const std::invalid_argument& refused) {
    throw CUsageError(std::string("properties: ") + refused.what());
  }
  ListReply list;
  const int status = Exchange(line, request, out, err, list);
  if (status >= 0 || line.raw) return status >= 0 ? status : kExitReplyZero;
  for (const auto& f : list.lines) {
    if (f.size() < 5) continue;
    const bool read = f[1] == "0";
    const long type = std::strtol(f[2].c_str(), nullptr, 10);
    // The canonical data type (property 1) is a VARTYPE itself: named, with its number.
    std::string value = f[4];
    const bool isType = read && f[0] == "1" && WholeNumber(f[4], 0, 65535).has_value();
    if (isType)
      value = VarTypeName(static_cast<std::uint16_t>(std::stol(f[4]))) + " (" + f[4] + ")";
    if (line.json) {
      Json json = {{"id", std::strtol(f[0].c_str(), nullptr, 10)},
                   {"code", std::strtol(f[1].c_str(), nullptr, 10)},
                   {"type", type},
                   {"type_name", VarTypeName(static_cast<std::uint16_t>(type))},
                   {"description", f[3]},
                   {read ? "value" : "error", f[4]}};
      if (isType) json["value_name"] = VarTypeName(static_cast<std::uint16_t>(std::stol(f[4])));
      out << Dump(json) << "\n";
    } else if (read) {
      out << "  " << f[0] << " " << f[3] << ": " << value << "  (held as "
          << VarTypeName(static_cast<std::uint16_t>(type)) << ")\n";
    } else {
      out << "  " << f[0] << " " << f[3] << ": failed, " << f[4] << "\n";
    }
  }
  return kExitReplyZero;
}
