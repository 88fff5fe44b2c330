// The option /workdir FOLDER: the gateway's working directory, where its log file
// RV_Morvantel.log is written. The Windows setup gives the service %ProgramData%\Quarnix with it
// (a service otherwise works in the folder of quarnix.exe, which need not be writable); without
// the option the working directory is the one the gateway was started in.
//
// Error rule: returns false with a text for the operator in error that names /workdir and the
// value and says what is expected (an existing folder, as a full path).
// Thread rule: the working directory belongs to the process: enter it on the UI thread at start,
// before any other thread exists. Ownership: none.
#pragma once

#include <string>

// Whether folder is a full path of an existing folder.
bool CheckWorkDirectory(const std::string& folder, std::string& error);
// Checks folder as above and makes it the working directory.
bool EnterWorkDirectory(const std::string& folder, std::string& error);
