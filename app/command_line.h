// The gateway's command line: /rh, /rp, /lp, /s, /progId and /? (also --help and -h), the
// protection options of protection_options.h, /workdir (work_directory.h), /metrics PORT
// (the metrics port that health_services.h opens), /connect (the OPC server at start) and the
// backup server's /backup, /backuphost, /failover and /failback (opc/failover_settings.h).
//
// The raw line is split at spaces (runs of spaces count as one, no quoting), the first token
// (the program path) is skipped, and the options are matched without regard to case. An option
// that takes a value consumes the next token; at the end of the line /rh changes nothing, while
// /progId leaves an empty ProgID. /? stops the parsing where it stands, so /s reaches the usage
// text only when it comes first. Everything else is ignored; a word that is no option of the
// table in res/gateway_options.h is kept in unknownOptions, so that the start can name it.
//
// Error rule: parsing never fails; /rh follows the classic conversion (an invalid address gives
// 255.255.255.255). A missing or bad /lp (decimal 1 to 65535) or /rp (0 to 65535), like a bad
// protection value, is recorded in optionError (the first one only), and a start with such an
// error must end. Thread rule: any thread, no state. Ownership: values returned.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/protection_settings.h"
#include "opc/failover_settings.h"
#include "platform/wide_string.h"
#include "protocol/request_settings.h"

struct CommandLineOptions {
  std::uint16_t listenPort = 8089;
  std::uint16_t remotePort = 8088;
  std::uint32_t remoteHost = 0x7F000001;  // host byte order
  bool backgroundMode = false;            // /s seen (before /?, when /? is given)
  bool showUsage = false;                 // /? seen; the parsing stopped there
  WideString progId = OLESTR("OPC.SimaticNET");
  // The protection options (protection_options.h) and the first bad value among them, if any:
  // a start with such an error must end.
  ProtectionSettings protection;
  RequestSettings requests;
  std::uint16_t metricsPort = 0;  // /metrics PORT; 0: no metrics port
  std::string allowText;          // the /allow value as given, for the start record
  std::string optionError;
  // /workdir FOLDER (work_directory.h): given, the folder (empty when the value is missing).
  std::optional<std::string> workDir;
  bool connectAtStart = false;  // /connect: the OPC server is created at start and kept
  // /backup, /backuphost, /failover, /failback: the backup server. /backup equal to /progId,
  // a bad number and (on Linux) /backuphost are option errors.
  FailoverSettings failover;
  bool failoverGiven = false;  // /failover was on the line (the start record shows it then)
  bool failbackGiven = false;  // /failback likewise
  // Words that are no option (nor the value of one), in command-line order. Ignored, as ever.
  std::vector<std::string> unknownOptions;
};

// Parses a raw command line, starting from the values in options.
void ParseCommandLine(std::string_view commandLine, CommandLineOptions& options);
// Parses a raw command line, starting from the defaults.
CommandLineOptions ParseCommandLine(std::string_view commandLine);

// Why a start with this command line would end before it serves: a bad option value, a /bind
// address that this machine does not have, or a /workdir that is no existing folder. Empty when
// the options are good. The start (CGatewayApp::InitInstance) and /install check with this code.
std::string StartOptionsError(std::string_view commandLine);

// The line that names an ignored word: "ignored unknown option /metric (did you mean
// /metrics?)", with the closest option of the table when one is close (an edit distance of at
// most 1 for options of up to 3 characters, at most 2 for longer ones; letter case ignored;
// among equally close ones the first in the table); without "(...)" when none is.
std::string UnknownOptionText(const std::string& word);

// Whether a command-line token is the option, compared without regard to letter case.
bool IsOption(const std::string& token, std::string_view option);

// The tokens of a raw command line, the program path included.
std::vector<std::string> SplitCommandLine(std::string_view commandLine);
// The process's raw command line: the arguments joined with single spaces.
std::string JoinArguments(int argc, const char* const* argv);
