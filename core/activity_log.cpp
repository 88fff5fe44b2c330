#include "core/activity_log.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <mutex>

#include "platform/append_file.h"
#include "platform/local_time.h"
#include "platform/text_line.h"

const char kLogFileName[] = "RV_Morvantel.log";

namespace {

// The text this thread mirrored last, until its next log call: a LogToFile of the same text
// right after it is the caller's own file copy of that pane line.
thread_local std::string t_mirroredText;
thread_local bool t_mirrorPending = false;

// The text on one line: each line break in it (CR LF, CR or LF) becomes a space, so that every
// line of the file begins with its time stamp.
void AppendFolded(std::string& entry, const std::string& text) {
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c != '\r' && c != '\n') {
      entry += c;
      continue;
    }
    if (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ++at;
    entry += ' ';
  }
}

// The log file, kept open between entries. At most once a second an entry checks that the name
// still leads to the open file; after a rotation (renamed or removed) it starts a new file.
// The file belongs to the working directory: an entry made after the working directory changed
// goes to the file of the new one (tests move between scratch directories).
struct LogFileState {
  std::mutex mutex;
  CAppendFile file;
  std::filesystem::path directory;  // the working directory the file was opened in
  std::chrono::steady_clock::time_point nextCheck;
};

LogFileState& LogFile() {
  static LogFileState state;  // lives until exit: entries of late threads still find it
  return state;
}

void WriteEntry(const std::string& entry) {
  LogFileState& log = LogFile();
  std::lock_guard lock(log.mutex);
  const auto now = std::chrono::steady_clock::now();
  std::error_code failed;
  std::filesystem::path directory = std::filesystem::current_path(failed);
  if (log.file.IsOpen() && directory != log.directory) log.file.Close();
  if (log.file.IsOpen() && now >= log.nextCheck) {
    if (!log.file.StillAt(kLogFileName)) log.file.Close();
    log.nextCheck = now + kLogFileCheckInterval;
  }
  if (!log.file.IsOpen()) {
    // An unwritable working directory drops the entry; the next one tries again.
    if (!log.file.Open(kLogFileName)) return;
    log.directory = std::move(directory);
    log.nextCheck = now + kLogFileCheckInterval;
  }
  // One write per entry, so that entries from two threads never interleave.
  if (!log.file.Append(entry.data(), entry.size())) log.file.Close();
}

void AppendToFile(const std::string& text) {
  try {
    std::string entry = LogTimeStamp();
    entry += ' ';
    AppendFolded(entry, text);
    entry += kTextLineEnd;
    WriteEntry(entry);
  } catch (...) {
    // The log never fails towards its caller.
  }
}

}  // namespace

std::string LogTimeStamp() {
  return FormatLocalTime(std::time(nullptr), "%Y-%m-%d %H:%M:%S");
}

void LogToFile(std::string text) {
  if (t_mirrorPending) {
    t_mirrorPending = false;
    if (text == t_mirroredText) return;  // already on file through the pane's mirror
  }
  AppendToFile(text);
}

void MirrorPaneEntryToFile(const std::string& text) {
  AppendToFile(text);
  try {
    t_mirroredText = text;
    t_mirrorPending = true;
  } catch (...) {
    t_mirrorPending = false;  // no memory for the copy: a following file copy is written twice
  }
}

void LogToPane(ILogPane& pane, const std::string& text) {
  std::string entry = LogTimeStamp();
  entry += ' ';
  entry += text;
  entry += "\r\n";
  const int lines = pane.GetLineCount();
  if (lines >= 100) {
    // Delete the oldest text line with its CR LF: it ends where the empty last line starts.
    const int lastStart = pane.LineIndex(lines - 1);
    if (lastStart > 0) {
      const int length = pane.LineLength(lastStart - 1);
      pane.DeleteRange(std::max(0, lastStart - length - 2), lastStart);
    }
  }
  pane.InsertAtStart(entry);
}

// --- CTextLogPane ---

int CTextLogPane::GetLineCount() const {
  int count = 1;
  for (std::size_t at = m_text.find("\r\n"); at != std::string::npos;
       at = m_text.find("\r\n", at + 2)) {
    ++count;
  }
  return count;
}

int CTextLogPane::LineIndex(int line) const {
  if (line < 0) return -1;
  std::size_t start = 0;
  for (int i = 0; i < line; ++i) {
    const std::size_t at = m_text.find("\r\n", start);
    if (at == std::string::npos) return -1;
    start = at + 2;
  }
  return static_cast<int>(start);
}

int CTextLogPane::LineLength(int charIndex) const {
  const std::size_t index =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(0, charIndex)), m_text.size());
  std::size_t start = 0;
  if (index >= 2) {
    const std::size_t at = m_text.rfind("\r\n", index - 2);
    if (at != std::string::npos) start = at + 2;
  }
  std::size_t end = m_text.find("\r\n", start);
  if (end == std::string::npos) end = m_text.size();
  return static_cast<int>(end - start);
}

void CTextLogPane::DeleteRange(int start, int end) {
  const std::size_t size = m_text.size();
  const std::size_t from =
      std::min<std::size_t>(static_cast<std::size_t>(std::max(0, start)), size);
  const std::size_t to = std::min<std::size_t>(static_cast<std::size_t>(std::max(0, end)), size);
  if (to > from) m_text.erase(from, to - from);
}

void CTextLogPane::InsertAtStart(const std::string& text) {
  m_text.insert(0, text);
}
