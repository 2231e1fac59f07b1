// Reading ".\Config\KestrelServer.xml" into the in-memory configuration.
//
// The file holds the general settings below KestrelServer_Config/General and
// the projects as numbered sections Project1, Project2, ... (each with Group%d
// containers and User%d sections). Numbered series have no gaps: reading stops
// at the first number that is missing or incomplete. The reader never writes
// the file and never fails: a missing file, a missing element or a malformed
// value each fall back to a fixed value. Two things are refused rather than
// used, and reported in a ReadReport: a listen port outside 1..65535 or a
// listen address that is not numeric (the server then does not listen), and
// users whose per-user file names collide with an earlier user's.
//
// Threads: main window thread only, while no connection slot and no project
// handler runs (they hold pointers into the records this replaces).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/ConfigKeys.h"
#include "config/ConfigModel.h"
#include "config/NameCollisions.h"
#include "support/XmlStore.h"

namespace kestrel {

// The highest TCP port; TCPIPListenPort must lie in 1..kMaxPort.
inline constexpr int kMaxPort = 65535;

// What a reading pass found wrong that the server reports once its logbook
// is ready (Error lines, in the order found).
struct ReadReport {
  std::vector<std::string> errors;
  // TCPIPListenPort outside 1..65535 or TCPIPListenAddress not numeric: the
  // server runs without listening.
  bool listen_refused = false;
  // Users left out because their file names collide with an earlier user's.
  std::vector<NameCollision> collisions;
};

// prefix followed by the decimal number: SectionTag("Project", 2) == "Project2".
std::string SectionTag(std::string_view prefix, int number);

// One reading pass: resets config.settings to the values that hold before the
// file is read, drops every project record, loads the file at path (a system
// path) into store and, when it loads, reads the settings and the projects.
// When the load fails the store is left not loaded and the settings keep
// their start values (GlobalKey "qa7b5N2dkeMw8rf", ScanIntervallUserrights 1).
// When it loads, an absent setting takes its missing-element value instead
// (GlobalKey empty, ScanIntervallUserrights 5). The store stays loaded with
// the document for later writes (password updates, configuration update).
//
// Then the listen settings are judged and users whose file names collide
// with an earlier user's are left out (LeaveOutCollidingUsers); report, when
// given, receives what was refused.
void ReadConfiguration(CXmlStore& store, ServerConfig& config,
                       std::string_view path = kConfigFilePath, ReadReport* report = nullptr);

}  // namespace kestrel
