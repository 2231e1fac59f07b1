#pragma once
// What a project handler thread keeps for its whole life and hands to every
// rights pass and scan. Handler thread only.
#include "support/XmlStore.h"

namespace kestrel::projects {

struct ScanContext {
  CXmlStore rights_store;  // reused for loading every rights file of a walk
  // "cannot open root folder" was logged and the root has not been found since.
  bool root_missing_reported = false;
  // "cannot open root XML user right file" was logged and the file has not been
  // found since.
  bool root_rights_missing_reported = false;
};

}  // namespace kestrel::projects
