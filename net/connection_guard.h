// The listener's admission rule for each accepted connection, decided from the peer's address
// before anything is read: the /allow list, the /maxconn limit per client address, and room
// below the process's open-file limit. Refused connections are closed at once without a reply;
// the guard also says when a refusal deserves a log line (at most once a minute per address,
// with the count of refusals since the last line).
//
// Error rule: nothing fails. Thread rule: any thread (one internal lock); Configure before the
// listeners start. Ownership: a value held by the listener chain; the allow list is copied.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

#include "net/protection_settings.h"

// Connections closed without being served, by reason (the guard's verdicts), as the
// listeners count them and the health figures show them.
struct RefusalCounts {
  std::uint64_t notAllowed = 0;  // not on the /allow list
  std::uint64_t tooMany = 0;     // the address held /maxconn connections
  std::uint64_t noRoom = 0;      // near the open-file limit, or no thread to serve it
  std::uint64_t Total() const { return notAllowed + tooMany + noRoom; }
};

class CConnectionGuard {
public:
  enum class Verdict {
    kAdmitted,
    kNotAllowed,  // not on the /allow list
    kTooMany,     // the address holds /maxconn connections already
    kNoRoom,      // the gateway is near its open-file limit or cannot start a thread
  };
  using Clock = std::chrono::steady_clock;
  // Descriptors kept free for the gateway's own files and sockets below the open-file limit.
  static constexpr int kReservedFiles = 64;
  // The first-line wait of a connection while the guard is crowded (instead of 60 s).
  static constexpr std::chrono::seconds kCrowdedFirstLineWait{5};
  // Refusals from one address are logged at most this often.
  static constexpr std::chrono::seconds kLogInterval{60};

  // Takes the allow list, the per-address limit and the open-file limit (0: none known).
  void Configure(const ProtectionSettings& settings);

  // Decides on a new connection from address (host byte order). An admitted one counts until
  // Release is called with the same address.
  Verdict Admit(std::uint32_t address);
  void Release(std::uint32_t address);
  // The log line for a refusal of address, or "" when that address had one less than
  // kLogInterval ago (the refusal is then counted for its next line).
  std::string RefusalLogLine(std::uint32_t address, Verdict verdict, Clock::time_point now);

  // Connections admitted and not yet released.
  int OpenCount() const;
  // True when half or more of the connections the open-file limit allows are open.
  bool Crowded() const;
  // True when three quarters or more of them are open: the listeners then close the connections
  // silent for longest to make room.
  bool NearLimit() const;

private:
  struct LogState {
    Clock::time_point lastLine;
    bool logged = false;
    int unlogged = 0;
  };

  mutable std::mutex m_mutex;
  CAllowList m_allowList;
  int m_maxPerAddress = ProtectionSettings::kDefaultMaxConnections;
  int m_mostOpen = 0;  // 0: no limit known
  int m_open = 0;
  std::unordered_map<std::uint32_t, int> m_perAddress;
  std::unordered_map<std::uint32_t, LogState> m_logged;
};
