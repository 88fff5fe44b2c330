// The activity log: the log file beside the program's working directory, the log pane's
// pruning rule, and the four log-category switches (LogSwitches).
//
// LogToFile appends "%Y-%m-%d %H:%M:%S <text>" and a line end (CR LF on Windows, else LF) to
// "RV_Morvantel.log" in the working directory, one entry per line (a line break inside the text
// becomes a space; the pane keeps the text as it is). The file stays open between entries (one
// write call each, nothing held back, so a stop or SIGTERM loses no line); at most once a second
// an entry checks that the name still leads to it, so a file renamed or removed by a rotation is
// followed by a new one. LogToPane puts an entry at the top of a pane, pruning the oldest pane
// line once the pane counts 100 lines. In background mode the pane is never seen, so the frames
// mirror every pane entry to the file (MirrorPaneEntryToFile).
//
// Error rule: nothing fails towards the caller (an unwritable file drops the entry).
// Thread rule: LogToFile from any thread; the switches and panes on the UI thread. Ownership: the
// application owns the gateway's switches and lends them to the window, which turns them from its
// View menu, and to the datagram sender, the group list and the request handlers, which read them.
#pragma once

#include <chrono>
#include <string>

// The log-category switches, at their defaults (false, false, true, false).
struct LogSwitches {
  bool logValueChanges = false;
  bool logValueWrites = false;
  bool logGroupOps = true;
  bool logItemOps = false;

  // Sets the three switches that the main window owns to their defaults, as the window does when
  // it is made (logValueChanges is the application's and keeps its state).
  void ResetWindowSwitches() {
    logValueWrites = false;
    logGroupOps = true;
    logItemOps = false;
  }
};

extern const char kLogFileName[];  // "RV_Morvantel.log"
// How often an entry checks whether the log file was rotated.
constexpr std::chrono::seconds kLogFileCheckInterval{1};

// The local time now as "%Y-%m-%d %H:%M:%S".
std::string LogTimeStamp();

void LogToFile(std::string text);

// Background mode's copy of a pane entry in the log file. Callers that write a line to both the
// pane and the file do so at once on one thread; the LogToFile of the same text that directly
// follows a mirrored entry on the same thread is skipped, so such a line is on file once.
void MirrorPaneEntryToFile(const std::string& text);

// The text operations of a multi-line edit control that the pruning rule needs. Character
// indices count bytes of the pane's text; line breaks are CR LF.
class ILogPane {
public:
  virtual int GetLineCount() const = 0;             // includes the empty last line
  virtual int LineIndex(int line) const = 0;        // first character of a line
  virtual int LineLength(int charIndex) const = 0;  // length of the line holding charIndex
  virtual void DeleteRange(int start, int end) = 0;
  virtual void InsertAtStart(const std::string& text) = 0;

protected:
  ~ILogPane() = default;
};

// Makes "<stamp> <text>\r\n" and writes it at the top of the pane after pruning.
void LogToPane(ILogPane& pane, const std::string& text);

// A pane kept in memory: background mode's hidden pane and the tests'.
class CTextLogPane : public ILogPane {
public:
  int GetLineCount() const override;
  int LineIndex(int line) const override;
  int LineLength(int charIndex) const override;
  void DeleteRange(int start, int end) override;
  void InsertAtStart(const std::string& text) override;
  const std::string& Text() const { return m_text; }

private:
  std::string m_text;
};
