#include "app/work_directory.h"

#include <filesystem>
#include <system_error>

#include "platform/codepage.h"
#include "platform/string_format.h"

namespace {

void SetError(std::string& error, const std::string& folder) {
  error = StringPrintf(SystemText("选项 /workdir 的值“%s”无效：请给出一个已有文件夹的完整路径，"
                                  "路径中不能有空格，例如 /workdir C:\\ProgramData\\Quarnix")
                           .c_str(),
                       folder.c_str());
}

}  // namespace

bool CheckWorkDirectory(const std::string& folder, std::string& error) {
  std::error_code failed;
  const std::filesystem::path path(folder);
  if (folder.empty() || !path.is_absolute() || !std::filesystem::is_directory(path, failed)) {
    SetError(error, folder);
    return false;
  }
  return true;
}

bool EnterWorkDirectory(const std::string& folder, std::string& error) {
  if (!CheckWorkDirectory(folder, error)) return false;
  std::error_code failed;
  std::filesystem::current_path(std::filesystem::path(folder), failed);
  if (failed) {
    SetError(error, folder);
    return false;
  }
  return true;
}
