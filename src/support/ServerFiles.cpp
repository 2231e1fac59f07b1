#include "support/ServerFiles.h"

#include <cctype>
#include <cstdio>

namespace kestrel {
namespace {

constexpr std::string_view kXmlSuffix = ".xml";

std::string Monthly(const char* format, int year, int month) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, year, month);
  return buffer;
}

}  // namespace

std::string ScanResultName(std::string_view project_name, std::string_view user_name) {
  std::string name = "Scanresult_";
  name += project_name;
  name += '_';
  name += user_name;
  name += kXmlSuffix;
  return name;
}

std::string ScanResultPath(std::string_view project_name, std::string_view user_name) {
  return std::string(kConfigFolder) + '\\' + ScanResultName(project_name, user_name);
}

std::string ScanResultOldPath(std::string_view current_path) {
  return std::string(current_path) + ".old";
}

std::string ScanResultTempPath(std::string_view current_path) {
  return std::string(current_path) + ".tmp";
}

bool IsScanResultName(std::string_view name) {
  constexpr std::string_view kPrefix = "scanresult";
  std::string lower(name);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.size() >= kPrefix.size() + kXmlSuffix.size() && lower.starts_with(kPrefix) &&
         lower.ends_with(kXmlSuffix);
}

std::string BackupPath(std::string_view stamp, std::string_view suffix) {
  std::string path = kBackupFolder;
  path += '\\';
  path += stamp;
  path += suffix;
  return path;
}

std::string LogbookPath(int year, int month) {
  return Monthly(".\\logs\\Server Logbook %d_%02d.log", year, month);
}

std::string UserLogPath(int year, int month) {
  return Monthly("logs\\Server UserLog %d_%02d.log", year, month);
}

std::string ConnectionsLogPath(int year, int month) {
  return Monthly("logs\\Connections %d_%02d.log", year, month);
}

std::string RootRightsPath(std::string_view root) {
  std::string path(root);
  path += '\\';
  path += kRootRightsName;
  return path;
}

std::string FolderRightsName(std::string_view name) {
  std::string file_name = "~";
  file_name += name;
  file_name += kXmlSuffix;
  return file_name;
}

std::string FolderRightsPath(std::string_view parent, std::string_view name) {
  std::string path(parent);
  path += '\\';
  path += FolderRightsName(name);
  return path;
}

bool IsRightsFileName(std::string_view name) {
  return name.size() > 5 && name[0] == '~' && name.ends_with(kXmlSuffix);
}

}  // namespace kestrel
